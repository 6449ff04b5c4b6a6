// The dialog's widget tree, texts, properties, slot table and the standard
// dialog keys, checked on the offscreen platform. Nothing here needs the
// simulated camera: none of these actions writes a register.
#include "main_dialog.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMetaMethod>
#include <QPushButton>
#include <QSpacerItem>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>
#include <QtTest>

namespace {

const char* const GROUP_LAYOUTS[4] = {"bl_layout", "br_layout", "tl_layout", "tr_layout"};
const char* const GROUP_BUTTONS[4] = {"pb_bl", "pb_br", "pb_tl", "pb_tr"};
const char* const GROUP_TEXTS[4] = {"BL", "BR", "TL", "TR"};

QString channel_name(int group, int bit)
{
    return QStringLiteral("chl_%1").arg(100 * group + bit);
}

QString item_name(QLayoutItem* item)
{
    if (item->widget())
        return item->widget()->objectName();
    if (item->layout())
        return item->layout()->objectName();
    return item->spacerItem() ? QStringLiteral("<spacer>") : QStringLiteral("<?>");
}

QStringList item_names(QLayout* layout)
{
    QStringList names;
    for (int i = 0; i < layout->count(); ++i)
        names << item_name(layout->itemAt(i));
    return names;
}

void check_row_spacer(QLayoutItem* item)
{
    QSpacerItem* spacer = item->spacerItem();
    QVERIFY(spacer);
    QCOMPARE(spacer->sizeHint(), QSize(40, 20));
    QCOMPARE(spacer->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
    QCOMPARE(spacer->sizePolicy().verticalPolicy(), QSizePolicy::Minimum);
}

QList<QPushButton*> checkable_buttons(const MainDialog& dialog)
{
    QList<QPushButton*> buttons;
    for (int g = 0; g < 4; ++g) {
        buttons << dialog.findChild<QPushButton*>(GROUP_BUTTONS[g]);
        for (int bit = 0; bit < 20; ++bit)
            buttons << dialog.findChild<QPushButton*>(channel_name(g, bit));
    }
    return buttons;
}

}  // namespace

class DialogLayoutTest : public QObject {
    Q_OBJECT

private slots:
    void window_has_name_title_size_and_flags()
    {
        MainDialog dialog;
        QCOMPARE(dialog.objectName(), QStringLiteral("MainDialog"));
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Channel Mask"));
        QCOMPARE(dialog.size(), QSize(650, 201));
        QCOMPARE(int(dialog.windowFlags() & ~Qt::WindowType_Mask), 0x8003000);
        QCOMPARE(dialog.windowType(), Qt::Dialog);
        QVERIFY(!dialog.parent());
        QCOMPARE(dialog.minimumSize(), QSize(0, 0));
        QCOMPARE(dialog.maximumSize(), QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX));
    }

    void top_layout_holds_six_rows_in_order()
    {
        MainDialog dialog;
        QVBoxLayout* top = qobject_cast<QVBoxLayout*>(dialog.layout());
        QVERIFY(top);
        QCOMPARE(top->objectName(), QStringLiteral("verticalLayout"));
        QCOMPARE(top->spacing(), 6);
        QCOMPARE(top->contentsMargins(), QMargins(11, 11, 11, 11));
        QCOMPARE(item_names(top),
                 QStringList({"bl_layout", "br_layout", "tl_layout", "tr_layout",
                              "horizontalLayout_4", "horizontalLayout_2"}));
        for (int i = 0; i < top->count(); ++i) {
            QVERIFY(qobject_cast<QHBoxLayout*>(top->itemAt(i)->layout()));
            QCOMPARE(top->stretch(i), 0);
        }
    }

    void group_rows_hold_group_button_channels_in_order_and_spacer()
    {
        MainDialog dialog;
        for (int g = 0; g < 4; ++g) {
            QHBoxLayout* row = dialog.findChild<QHBoxLayout*>(GROUP_LAYOUTS[g]);
            QVERIFY(row);
            QCOMPARE(row->spacing(), 3);
            QCOMPARE(row->count(), 22);
            QCOMPARE(item_name(row->itemAt(0)), QString(GROUP_BUTTONS[g]));
            for (int bit = 0; bit < 20; ++bit)
                QCOMPARE(item_name(row->itemAt(1 + bit)), channel_name(g, bit));
            check_row_spacer(row->itemAt(21));
            for (int i = 0; i < row->count(); ++i) {
                QCOMPARE(row->stretch(i), 0);
                QCOMPARE(row->itemAt(i)->alignment(), Qt::Alignment());
            }
        }
    }

    void clamp_and_done_rows_nest_labels_with_their_spin_boxes()
    {
        MainDialog dialog;
        QHBoxLayout* clamp = dialog.findChild<QHBoxLayout*>("horizontalLayout_4");
        QVERIFY(clamp);
        QCOMPARE(clamp->spacing(), 6);
        QCOMPARE(item_names(clamp),
                 QStringList({"cb_clpout", "horizontalLayout", "horizontalLayout_3", "<spacer>"}));
        check_row_spacer(clamp->itemAt(3));
        QLayout* offset = clamp->itemAt(1)->layout();
        QLayout* width = clamp->itemAt(2)->layout();
        QCOMPARE(offset->spacing(), 6);
        QCOMPARE(width->spacing(), 6);
        QCOMPARE(item_names(offset), QStringList({"label", "sb_clpout_offset"}));
        QCOMPARE(item_names(width), QStringList({"label_2", "sb_clpout_width"}));

        QHBoxLayout* done = dialog.findChild<QHBoxLayout*>("horizontalLayout_2");
        QVERIFY(done);
        QCOMPARE(done->spacing(), 6);
        QCOMPARE(item_names(done), QStringList({"<spacer>", "pb_done"}));
        check_row_spacer(done->itemAt(0));
    }

    void push_buttons_carry_texts_sizes_and_are_checkable_never_default()
    {
        MainDialog dialog;
        for (int g = 0; g < 4; ++g) {
            QPushButton* group = dialog.findChild<QPushButton*>(GROUP_BUTTONS[g]);
            QVERIFY(group);
            QCOMPARE(group->text(), QString(GROUP_TEXTS[g]));
            for (int bit = 0; bit < 20; ++bit) {
                QPushButton* channel = dialog.findChild<QPushButton*>(channel_name(g, bit));
                QVERIFY(channel);
                QCOMPARE(channel->text(), QString::number(20 * g + bit));
            }
        }
        const QList<QPushButton*> buttons = checkable_buttons(dialog);
        QCOMPARE(buttons.size(), 84);
        for (QPushButton* button : buttons) {
            QCOMPARE(QString(button->metaObject()->className()), QStringLiteral("QPushButton"));
            QCOMPARE(button->parent(), &dialog);
            QCOMPARE(button->maximumSize(), QSize(27, 23));
            QVERIFY(button->isCheckable());
            QVERIFY(!button->isChecked());
            QVERIFY(!button->autoDefault());
            QVERIFY(!button->isDefault());
        }

        QPushButton* done = dialog.findChild<QPushButton*>("pb_done");
        QVERIFY(done);
        QCOMPARE(done->text(), QStringLiteral("Done"));
        QVERIFY(!done->isCheckable());
        QVERIFY(!done->autoDefault());
        QVERIFY(!done->isDefault());
        QCOMPARE(done->maximumSize(), QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX));
        QCOMPARE(dialog.findChildren<QPushButton*>().size(), 85);
    }

    void clamp_controls_start_at_defaults_without_texts()
    {
        MainDialog dialog;
        QCheckBox* enable = dialog.findChild<QCheckBox*>("cb_clpout");
        QVERIFY(enable);
        QCOMPARE(enable->text(), QStringLiteral("clpOut"));
        QVERIFY(!enable->isChecked());
        QCOMPARE(dialog.findChild<QLabel*>("label")->text(), QStringLiteral("offset:"));
        QCOMPARE(dialog.findChild<QLabel*>("label_2")->text(), QStringLiteral("width:"));

        struct { const char* name; int minimum, maximum, value; } const boxes[] = {
            {"sb_clpout_offset", 1, 31, 20},
            {"sb_clpout_width", 1, 7, 1},
        };
        for (const auto& expected : boxes) {
            QSpinBox* box = dialog.findChild<QSpinBox*>(expected.name);
            QVERIFY2(box, expected.name);
            QCOMPARE(box->minimum(), expected.minimum);
            QCOMPARE(box->maximum(), expected.maximum);
            QCOMPARE(box->value(), expected.value);
            QVERIFY(box->prefix().isEmpty());
            QVERIFY(box->suffix().isEmpty());
            QVERIFY(box->specialValueText().isEmpty());
            QVERIFY(box->keyboardTracking());
        }
    }

    void meta_object_lists_eight_private_slots_in_order()
    {
        MainDialog dialog;
        const QMetaObject* meta = dialog.metaObject();
        QCOMPARE(QString(meta->className()), QStringLiteral("MainDialog"));
        QCOMPARE(meta->superClass(), &QDialog::staticMetaObject);
        QCOMPARE(meta->propertyCount(), meta->propertyOffset());

        struct { const char* signature; const char* parameter; } const expected_slots[] = {
            {"chl_select()", nullptr},
            {"check_bl()", nullptr},
            {"check_br()", nullptr},
            {"check_tl()", nullptr},
            {"check_tr()", nullptr},
            {"check_clpout()", nullptr},
            {"clpout_offset_change(int)", "new_value"},
            {"clpout_width_change(int)", "new_value"},
        };
        QCOMPARE(meta->methodCount() - meta->methodOffset(), 8);
        for (int i = 0; i < 8; ++i) {
            const QMetaMethod method = meta->method(meta->methodOffset() + i);
            QCOMPARE(method.methodSignature(), QByteArray(expected_slots[i].signature));
            QCOMPARE(method.methodType(), QMetaMethod::Slot);
            QCOMPARE(method.access(), QMetaMethod::Private);
            QCOMPARE(method.returnType(), int(QMetaType::Void));
            if (expected_slots[i].parameter) {
                QCOMPARE(method.parameterNames(), QList<QByteArray>({expected_slots[i].parameter}));
                QCOMPARE(method.parameterType(0), int(QMetaType::Int));
            } else {
                QCOMPARE(method.parameterCount(), 0);
            }
        }
    }

    void widening_leaves_buttons_small_and_done_at_the_right()
    {
        MainDialog dialog;
        dialog.resize(1200, 400);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QCOMPARE(dialog.width(), 1200);
        for (QPushButton* button : checkable_buttons(dialog)) {
            QVERIFY(button->width() <= 27);
            QVERIFY(button->height() <= 23);
        }
        QPushButton* done = dialog.findChild<QPushButton*>("pb_done");
        QCOMPARE(done->geometry().right(), dialog.width() - 11 - 1);
        // The group rows leave the extra width to their spacers.
        QVERIFY(dialog.findChild<QPushButton*>("chl_19")->geometry().right() < 650);
    }

    void return_key_presses_no_button()
    {
        MainDialog dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QPushButton* channel = dialog.findChild<QPushButton*>("chl_0");
        channel->setFocus();
        QTest::keyClick(channel, Qt::Key_Return);
        QTest::keyClick(channel, Qt::Key_Enter);
        QVERIFY(!channel->isChecked());
        QVERIFY(dialog.isVisible());
        QCOMPARE(dialog.result(), 0);
    }

    void done_accepts_escape_and_close_reject()
    {
        {
            MainDialog dialog;
            dialog.show();
            QTest::mouseClick(dialog.findChild<QPushButton*>("pb_done"), Qt::LeftButton);
            QVERIFY(!dialog.isVisible());
            QCOMPARE(dialog.result(), int(QDialog::Accepted));
        }
        {
            MainDialog dialog;
            dialog.show();
            dialog.setResult(QDialog::Accepted);
            QTest::keyClick(&dialog, Qt::Key_Escape);
            QVERIFY(!dialog.isVisible());
            QCOMPARE(dialog.result(), int(QDialog::Rejected));
        }
        {
            MainDialog dialog;
            dialog.show();
            dialog.setResult(QDialog::Accepted);
            QVERIFY(dialog.close());
            QVERIFY(!dialog.isVisible());
            QCOMPARE(dialog.result(), int(QDialog::Rejected));
        }
    }

    void closing_the_dialog_ends_the_event_loop_with_status_0_data()
    {
        QTest::addColumn<int>("how");
        QTest::newRow("done") << 0;
        QTest::newRow("escape") << 1;
        QTest::newRow("close") << 2;
    }

    void closing_the_dialog_ends_the_event_loop_with_status_0()
    {
        QFETCH(int, how);
        MainDialog dialog;
        dialog.show();
        QTimer::singleShot(0, &dialog, [&dialog, how] {
            if (how == 0)
                QTest::mouseClick(dialog.findChild<QPushButton*>("pb_done"), Qt::LeftButton);
            else if (how == 1)
                QTest::keyClick(&dialog, Qt::Key_Escape);
            else
                dialog.close();
        });
        // Guards against a loop that never ends; it is not expected to fire.
        QTimer watchdog;
        watchdog.setSingleShot(true);
        connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(99); });
        watchdog.start(10000);
        QCOMPARE(QApplication::exec(), 0);
        QVERIFY(!dialog.isVisible());
    }
};

QTEST_MAIN(DialogLayoutTest)
#include "dialog_layout_test.moc"
