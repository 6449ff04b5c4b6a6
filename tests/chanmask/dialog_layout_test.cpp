// The dialog's widget tree, properties, slot table and standard keys, on the
// offscreen platform. None of this writes a register.
#include "main_dialog.h"

#include <QCheckBox>
#include <QLabel>
#include <QMetaMethod>
#include <QPushButton>
#include <QSpacerItem>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>
#include <QtTest>

namespace {

const char* const GROUPS[4] = {"bl", "br", "tl", "tr"};

QString channel_name(int group, int bit)
{
    return QStringLiteral("chl_%1").arg(100 * group + bit);
}

// A layout as text: "name(spacing) item item ...", a nested layout in
// brackets, a row spacer (40 x 20, Expanding x Minimum) as "~". An item with
// a stretch or an alignment is marked "!", any other spacer "?".
QString tree(const QBoxLayout* layout)
{
    QString text = layout->objectName() + QStringLiteral("(%1)").arg(layout->spacing());
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem* item = layout->itemAt(i);
        text += QLatin1Char(' ');
        if (item->widget())
            text += item->widget()->objectName();
        else if (const QBoxLayout* nested = qobject_cast<const QBoxLayout*>(item->layout()))
            text += QLatin1Char('[') + tree(nested) + QLatin1Char(']');
        else if (QSpacerItem* spacer = item->spacerItem())
            text += spacer->sizeHint() == QSize(40, 20)
                            && spacer->sizePolicy().horizontalPolicy() == QSizePolicy::Expanding
                            && spacer->sizePolicy().verticalPolicy() == QSizePolicy::Minimum
                        ? QLatin1Char('~') : QLatin1Char('?');
        if (layout->stretch(i) != 0 || item->alignment() != Qt::Alignment())
            text += QLatin1Char('!');
    }
    return text;
}

QList<QPushButton*> checkable_buttons(const MainDialog& dialog)
{
    QList<QPushButton*> buttons;
    for (int g = 0; g < 4; ++g) {
        buttons << dialog.findChild<QPushButton*>(QStringLiteral("pb_") + GROUPS[g]);
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

    void layout_tree_holds_every_widget_in_order()
    {
        MainDialog dialog;
        QString expected = QStringLiteral("verticalLayout(6)");
        for (int g = 0; g < 4; ++g) {
            expected += QStringLiteral(" [%1_layout(3) pb_%1").arg(GROUPS[g]);
            for (int bit = 0; bit < 20; ++bit)
                expected += QLatin1Char(' ') + channel_name(g, bit);
            expected += QStringLiteral(" ~]");
        }
        expected += " [horizontalLayout_4(6) cb_clpout [horizontalLayout(6) label sb_clpout_offset]"
                    " [horizontalLayout_3(6) label_2 sb_clpout_width] ~]"
                    " [horizontalLayout_2(6) ~ pb_done]";
        QVBoxLayout* top = qobject_cast<QVBoxLayout*>(dialog.layout());
        QVERIFY(top);
        QCOMPARE(tree(top), expected);
        QCOMPARE(top->contentsMargins(), QMargins(11, 11, 11, 11));
    }

    void buttons_carry_texts_sizes_and_are_never_default()
    {
        MainDialog dialog;
        const QList<QPushButton*> buttons = checkable_buttons(dialog);
        QCOMPARE(buttons.size(), 84);
        for (int i = 0; i < buttons.size(); ++i) {
            QPushButton* button = buttons[i];
            const int g = i / 21, bit = i % 21 - 1;
            QVERIFY(button);
            QCOMPARE(button->text(), bit < 0 ? QString(GROUPS[g]).toUpper() : QString::number(20 * g + bit));
            QCOMPARE(QString(button->metaObject()->className()), QStringLiteral("QPushButton"));
            QCOMPARE(button->parent(), &dialog);
            QCOMPARE(button->maximumSize(), QSize(27, 23));
            QVERIFY(button->isCheckable());
            QVERIFY(!button->isChecked());
            QVERIFY(!button->autoDefault());
            QVERIFY(!button->isDefault());
        }
        QPushButton* done = dialog.findChild<QPushButton*>("pb_done");
        QCOMPARE(done->text(), QStringLiteral("Done"));
        QVERIFY(!done->isCheckable());
        QVERIFY(!done->autoDefault());
        QVERIFY(!done->isDefault());
        QCOMPARE(done->maximumSize(), QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX));
    }

    void clamp_controls_start_at_defaults_without_texts()
    {
        MainDialog dialog;
        QCheckBox* enable = dialog.findChild<QCheckBox*>("cb_clpout");
        QCOMPARE(enable->text(), QStringLiteral("clpOut"));
        QVERIFY(!enable->isChecked());
        QCOMPARE(dialog.findChild<QLabel*>("label")->text(), QStringLiteral("offset:"));
        QCOMPARE(dialog.findChild<QLabel*>("label_2")->text(), QStringLiteral("width:"));
        QSpinBox* offset = dialog.findChild<QSpinBox*>("sb_clpout_offset");
        QSpinBox* width = dialog.findChild<QSpinBox*>("sb_clpout_width");
        QCOMPARE(QList<int>({offset->minimum(), offset->maximum(), offset->value()}), QList<int>({1, 31, 20}));
        QCOMPARE(QList<int>({width->minimum(), width->maximum(), width->value()}), QList<int>({1, 7, 1}));
        for (QSpinBox* box : {offset, width}) {
            QCOMPARE(box->prefix() + box->suffix() + box->specialValueText(), QString());
            QVERIFY(box->keyboardTracking());
        }
    }

    void meta_object_lists_eight_private_slots_in_order()
    {
        const QMetaObject* meta = &MainDialog::staticMetaObject;
        QCOMPARE(meta->superClass(), &QDialog::staticMetaObject);
        QCOMPARE(meta->propertyCount(), meta->propertyOffset());
        QStringList methods;
        for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
            const QMetaMethod method = meta->method(i);
            QCOMPARE(method.methodType(), QMetaMethod::Slot);
            QCOMPARE(method.access(), QMetaMethod::Private);
            methods << QString(method.typeName()) + QLatin1Char(' ') + method.methodSignature()
                           + QLatin1Char(' ') + method.parameterNames().join(',');
        }
        QCOMPARE(methods, QStringList({"void chl_select() ", "void check_bl() ", "void check_br() ",
                                       "void check_tl() ", "void check_tr() ", "void check_clpout() ",
                                       "void clpout_offset_change(int) new_value",
                                       "void clpout_width_change(int) new_value"}));
    }

    void widening_leaves_buttons_small_and_done_at_the_right()
    {
        MainDialog dialog;
        dialog.resize(1200, 400);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        for (QPushButton* button : checkable_buttons(dialog))
            QVERIFY(button->width() <= 27 && button->height() <= 23);
        QCOMPARE(dialog.findChild<QPushButton*>("pb_done")->geometry().right(), 1200 - 11 - 1);
        QVERIFY(dialog.findChild<QPushButton*>("chl_319")->geometry().right() < 650);
    }

    void return_and_enter_press_no_button()
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
    }

    void closing_ends_the_event_loop_with_status_0_data()
    {
        QTest::addColumn<int>("how");
        QTest::addColumn<int>("result");
        QTest::newRow("Done accepts") << 0 << int(QDialog::Accepted);
        QTest::newRow("Escape rejects") << 1 << int(QDialog::Rejected);
        QTest::newRow("close rejects") << 2 << int(QDialog::Rejected);
    }

    void closing_ends_the_event_loop_with_status_0()
    {
        QFETCH(int, how);
        QFETCH(int, result);
        MainDialog dialog;
        dialog.show();
        dialog.setResult(-1);
        QTimer::singleShot(0, &dialog, [&dialog, how] {
            if (how == 0)
                QTest::mouseClick(dialog.findChild<QPushButton*>("pb_done"), Qt::LeftButton);
            else if (how == 1)
                QTest::keyClick(&dialog, Qt::Key_Escape);
            else
                dialog.close();
        });
        // Ends a loop that the dialog failed to end; not expected to fire.
        QTimer watchdog;
        connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(99); });
        watchdog.start(10000);
        QCOMPARE(QApplication::exec(), 0);
        QVERIFY(!dialog.isVisible());
        QCOMPARE(dialog.result(), result);
    }
};

QTEST_MAIN(DialogLayoutTest)
#include "dialog_layout_test.moc"
