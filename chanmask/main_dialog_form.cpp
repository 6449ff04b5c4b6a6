#include "main_dialog_form.h"

#include <QByteArray>
#include <QCheckBox>
#include <QCoreApplication>
#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QMetaObject>
#include <QPushButton>
#include <QSize>
#include <QSizePolicy>
#include <QSpacerItem>
#include <QSpinBox>
#include <QString>
#include <QVBoxLayout>

namespace {

const int DIALOG_WIDTH = 650;
const int DIALOG_HEIGHT = 201;
const int TOP_SPACING = 6;
const int TOP_MARGIN = 11;
const int GROUP_ROW_SPACING = 3;
const int CONTROL_ROW_SPACING = 6;

// Group and channel buttons are kept to 27 x 23 so that a group of 20 fits
// one row of the 650-pixel dialog.
const QSize TOGGLE_BUTTON_MAX(27, 23);

// Channel numbers run 0..79 across the four groups in the button texts,
// while the object names count 0, 100, 200, 300 per group.
const int CHANNEL_TEXT_STEP = 20;
const int CHANNEL_NAME_STEP = 100;

const int OFFSET_MIN = 1;
const int OFFSET_MAX = 31;
const int OFFSET_START = 20;
const int WIDTH_MIN = 1;
const int WIDTH_MAX = 7;
const int WIDTH_START = 1;

QPushButton* new_toggle_button(QDialog* dialog, const QString& name)
{
    QPushButton* button = new QPushButton(dialog);
    button->setObjectName(name);
    button->setMaximumSize(TOGGLE_BUTTON_MAX);
    button->setCheckable(true);
    button->setAutoDefault(false);
    return button;
}

QHBoxLayout* new_row(const char* name, int spacing)
{
    QHBoxLayout* row = new QHBoxLayout();
    row->setSpacing(spacing);
    row->setObjectName(QString::fromLatin1(name));
    return row;
}

QSpacerItem* new_row_spacer()
{
    return new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum);
}

QSpinBox* new_spin_box(QDialog* dialog, const char* name, int minimum, int maximum, int value)
{
    QSpinBox* box = new QSpinBox(dialog);
    box->setObjectName(QString::fromLatin1(name));
    box->setMinimum(minimum);
    box->setMaximum(maximum);
    box->setValue(value);
    return box;
}

QLabel* new_label(QDialog* dialog, const char* name)
{
    QLabel* label = new QLabel(dialog);
    label->setObjectName(QString::fromLatin1(name));
    return label;
}

// One group row: the group button, its 20 channel buttons in bit order and
// the spacer that takes any extra width.
void add_group_row(QDialog* dialog, QVBoxLayout* top, const char* layout_name,
                   const char* button_name, int group, QHBoxLayout*& row,
                   QPushButton*& group_button, QPushButton** channels, QSpacerItem*& spacer)
{
    row = new_row(layout_name, GROUP_ROW_SPACING);
    group_button = new_toggle_button(dialog, QString::fromLatin1(button_name));
    row->addWidget(group_button);
    for (int i = 0; i < MainDialogForm::CHANNELS_PER_GROUP; ++i) {
        channels[i] = new_toggle_button(dialog, QStringLiteral("chl_%1").arg(CHANNEL_NAME_STEP * group + i));
        row->addWidget(channels[i]);
    }
    spacer = new_row_spacer();
    row->addItem(spacer);
    top->addLayout(row);
}

QString translated(const char* text)
{
    return QCoreApplication::translate("MainDialog", text);
}

void retranslate_group(QPushButton* group_button, const char* group_text, int group,
                       QPushButton* const* channels)
{
    group_button->setText(translated(group_text));
    for (int i = 0; i < MainDialogForm::CHANNELS_PER_GROUP; ++i) {
        const QByteArray number = QByteArray::number(CHANNEL_TEXT_STEP * group + i);
        channels[i]->setText(translated(number.constData()));
    }
}

}  // namespace

void MainDialogForm::setup(QDialog* dialog)
{
    if (dialog->objectName().isEmpty())
        dialog->setObjectName(QStringLiteral("MainDialog"));
    dialog->resize(DIALOG_WIDTH, DIALOG_HEIGHT);

    verticalLayout = new QVBoxLayout(dialog);
    verticalLayout->setSpacing(TOP_SPACING);
    verticalLayout->setContentsMargins(TOP_MARGIN, TOP_MARGIN, TOP_MARGIN, TOP_MARGIN);
    verticalLayout->setObjectName(QStringLiteral("verticalLayout"));

    add_group_row(dialog, verticalLayout, "bl_layout", "pb_bl", 0, bl_layout, pb_bl, chl_bl, bl_spacer);
    add_group_row(dialog, verticalLayout, "br_layout", "pb_br", 1, br_layout, pb_br, chl_br, br_spacer);
    add_group_row(dialog, verticalLayout, "tl_layout", "pb_tl", 2, tl_layout, pb_tl, chl_tl, tl_spacer);
    add_group_row(dialog, verticalLayout, "tr_layout", "pb_tr", 3, tr_layout, pb_tr, chl_tr, tr_spacer);

    horizontalLayout_4 = new_row("horizontalLayout_4", CONTROL_ROW_SPACING);
    cb_clpout = new QCheckBox(dialog);
    cb_clpout->setObjectName(QStringLiteral("cb_clpout"));
    horizontalLayout_4->addWidget(cb_clpout);

    horizontalLayout = new_row("horizontalLayout", CONTROL_ROW_SPACING);
    label = new_label(dialog, "label");
    horizontalLayout->addWidget(label);
    sb_clpout_offset = new_spin_box(dialog, "sb_clpout_offset", OFFSET_MIN, OFFSET_MAX, OFFSET_START);
    horizontalLayout->addWidget(sb_clpout_offset);
    horizontalLayout_4->addLayout(horizontalLayout);

    horizontalLayout_3 = new_row("horizontalLayout_3", CONTROL_ROW_SPACING);
    label_2 = new_label(dialog, "label_2");
    horizontalLayout_3->addWidget(label_2);
    sb_clpout_width = new_spin_box(dialog, "sb_clpout_width", WIDTH_MIN, WIDTH_MAX, WIDTH_START);
    horizontalLayout_3->addWidget(sb_clpout_width);
    horizontalLayout_4->addLayout(horizontalLayout_3);

    clpout_spacer = new_row_spacer();
    horizontalLayout_4->addItem(clpout_spacer);
    verticalLayout->addLayout(horizontalLayout_4);

    horizontalLayout_2 = new_row("horizontalLayout_2", CONTROL_ROW_SPACING);
    done_spacer = new_row_spacer();
    horizontalLayout_2->addItem(done_spacer);
    pb_done = new QPushButton(dialog);
    pb_done->setObjectName(QStringLiteral("pb_done"));
    pb_done->setAutoDefault(false);
    horizontalLayout_2->addWidget(pb_done);
    verticalLayout->addLayout(horizontalLayout_2);

    retranslate(dialog);

    QObject::connect(pb_done, &QPushButton::clicked, dialog, &QDialog::accept);

    QMetaObject::connectSlotsByName(dialog);
}

void MainDialogForm::retranslate(QDialog* dialog)
{
    dialog->setWindowTitle(translated("Channel Mask"));
    retranslate_group(pb_bl, "BL", 0, chl_bl);
    retranslate_group(pb_br, "BR", 1, chl_br);
    retranslate_group(pb_tl, "TL", 2, chl_tl);
    retranslate_group(pb_tr, "TR", 3, chl_tr);
    cb_clpout->setText(translated("clpOut"));
    label->setText(translated("offset:"));
    label_2->setText(translated("width:"));
    pb_done->setText(translated("Done"));
}
