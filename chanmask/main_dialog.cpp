#include "main_dialog.h"

#include "main_dialog_form.h"

#include <QByteArray>
#include <QCheckBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QString>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/wait.h>

namespace {

// Channel mask registers, one per group; bits 0-19 are the group's channels.
const quint32 CHL_MASK_BL = 0x8210;
const quint32 CHL_MASK_BR = 0x8214;
const quint32 CHL_MASK_TL = 0x8218;
const quint32 CHL_MASK_TR = 0x821C;
const quint32 CHL_MASK_ALL = 0xFFFFF;

// Object-name numbers of the channel buttons: group base plus bit.
const int CHL_BASE_BR = 100;
const int CHL_BASE_TL = 200;
const int CHL_BASE_TR = 300;

// Clamp-output register: offset in bits 0-4, width in bits 8-10, enable bit 12.
const quint32 CLPOUT_CTRL = 0x8170;
const quint32 CLPOUT_OFFSET_MASK = 0x1F;
const int CLPOUT_WIDTH_SHIFT = 8;
const quint32 CLPOUT_ENABLE = 0x1000;

const Qt::WindowFlags DIALOG_FLAGS =
    Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;

QList<QPushButton*> channel_list(QPushButton* const* channels)
{
    return QList<QPushButton*>(channels, channels + MainDialogForm::CHANNELS_PER_GROUP);
}

// Puts the buttons of a group in line with its mask. setChecked emits no
// clicked(), so no channel slot runs for these changes.
void show_mask(const QList<QPushButton*>& channels, quint32 mask)
{
    for (int i = 0; i < channels.size(); ++i)
        channels[i]->setChecked((mask >> i) & 1u);
}

}  // namespace

MainDialog::MainDialog()
    : QDialog(nullptr, DIALOG_FLAGS), form(new MainDialogForm)
{
    form->setup(this);

    mask_bl = 0;
    mask_br = 0;
    mask_tl = 0;
    mask_tr = 0;
    channels_bl = channel_list(form->chl_bl);
    channels_br = channel_list(form->chl_br);
    channels_tl = channel_list(form->chl_tl);
    channels_tr = channel_list(form->chl_tr);

    connect(form->pb_bl, SIGNAL(clicked()), this, SLOT(check_bl()));
    connect(form->pb_br, SIGNAL(clicked()), this, SLOT(check_br()));
    connect(form->pb_tl, SIGNAL(clicked()), this, SLOT(check_tl()));
    connect(form->pb_tr, SIGNAL(clicked()), this, SLOT(check_tr()));
    for (const QList<QPushButton*>* group : {&channels_bl, &channels_br, &channels_tl, &channels_tr})
        for (QPushButton* channel : *group)
            connect(channel, SIGNAL(clicked()), this, SLOT(chl_select()));
    connect(form->cb_clpout, SIGNAL(clicked()), this, SLOT(check_clpout()));
    connect(form->sb_clpout_offset, SIGNAL(valueChanged(int)), this, SLOT(clpout_offset_change(int)));
    connect(form->sb_clpout_width, SIGNAL(valueChanged(int)), this, SLOT(clpout_width_change(int)));
}

MainDialog::~MainDialog()
{
    delete form;
}

// One register write is one shell process echoing "w 0x<reg> 0x<value>"
// into the driver's proc file. The dialog keeps its state when the write
// fails: the next write of the group sends the whole mask again.
void MainDialog::shell_write_reg(quint32 reg, quint32 value)
{
    const QString command = QStringLiteral("echo w 0x%1 0x%2 > /proc/qx_pci/regs")
                                .arg(reg, 0, 16)
                                .arg(value, 0, 16);
    const int status = std::system(command.toLocal8Bit().constData());
    if (status == 0)
        return;

    char reason[64];
    if (status == -1)
        std::snprintf(reason, sizeof reason, "shell not started: %s", std::strerror(errno));
    else if (WIFEXITED(status))
        std::snprintf(reason, sizeof reason, "shell exit status %d", WEXITSTATUS(status));
    else
        std::snprintf(reason, sizeof reason, "shell ended by signal %d", WTERMSIG(status));
    std::fprintf(stderr, "%s: register 0x%x not written with 0x%x (%s)\n",
                 "void MainDialog::shell_write_reg(quint32, quint32)", reg, value, reason);
}

void MainDialog::write_clpout()
{
    quint32 value = (quint32(form->sb_clpout_width->value()) << CLPOUT_WIDTH_SHIFT)
                    | (quint32(form->sb_clpout_offset->value()) & CLPOUT_OFFSET_MASK);
    if (form->cb_clpout->isChecked())
        value |= CLPOUT_ENABLE;
    shell_write_reg(CLPOUT_CTRL, value);
}

// The group and bit come from the first run of digits in the sender's object
// name: chl_<n> with n = group base + bit.
void MainDialog::chl_select()
{
    QPushButton* channel = qobject_cast<QPushButton*>(sender());
    if (!channel)
        return;

    static const QRegularExpression digits(QStringLiteral("\\d+"));
    const int n = digits.match(channel->objectName()).captured(0).toInt();

    quint32* mask;
    quint32 reg;
    int bit;
    if (n < CHL_BASE_BR) {
        mask = &mask_bl; reg = CHL_MASK_BL; bit = n;
    } else if (n < CHL_BASE_TL) {
        mask = &mask_br; reg = CHL_MASK_BR; bit = n - CHL_BASE_BR;
    } else if (n < CHL_BASE_TR) {
        mask = &mask_tl; reg = CHL_MASK_TL; bit = n - CHL_BASE_TL;
    } else {
        mask = &mask_tr; reg = CHL_MASK_TR; bit = n - CHL_BASE_TR;
    }

    // A name outside a group's 20 channels changes no bit.
    const quint32 bit_mask = bit < MainDialogForm::CHANNELS_PER_GROUP ? 1u << bit : 0u;
    if (channel->isChecked())
        *mask |= bit_mask;
    else
        *mask &= ~bit_mask;
    shell_write_reg(reg, *mask);
}

void MainDialog::check_bl()
{
    mask_bl = form->pb_bl->isChecked() ? CHL_MASK_ALL : 0;
    shell_write_reg(CHL_MASK_BL, mask_bl);
    show_mask(channels_bl, mask_bl);
}

void MainDialog::check_br()
{
    mask_br = form->pb_br->isChecked() ? CHL_MASK_ALL : 0;
    shell_write_reg(CHL_MASK_BR, mask_br);
    show_mask(channels_br, mask_br);
}

void MainDialog::check_tl()
{
    mask_tl = form->pb_tl->isChecked() ? CHL_MASK_ALL : 0;
    shell_write_reg(CHL_MASK_TL, mask_tl);
    show_mask(channels_tl, mask_tl);
}

void MainDialog::check_tr()
{
    mask_tr = form->pb_tr->isChecked() ? CHL_MASK_ALL : 0;
    shell_write_reg(CHL_MASK_TR, mask_tr);
    show_mask(channels_tr, mask_tr);
}

void MainDialog::check_clpout()
{
    write_clpout();
}

// The spin box is read back in write_clpout, so new_value is not needed.
void MainDialog::clpout_offset_change(int)
{
    write_clpout();
}

void MainDialog::clpout_width_change(int)
{
    write_clpout();
}
