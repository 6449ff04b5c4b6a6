// The channel mask dialog: switches the FPGA's per-channel mask bits (80
// channels in four groups of 20) and sets the clamp-output register. Every
// change is written to the FPGA at once through the driver's proc file.
#pragma once

#include <QDialog>
#include <QList>
#include <QtGlobal>

class QPushButton;
struct MainDialogForm;

class MainDialog : public QDialog {
    Q_OBJECT

public:
    MainDialog();
    ~MainDialog() override;

private slots:
    void chl_select();
    void check_bl();
    void check_br();
    void check_tl();
    void check_tr();
    void check_clpout();
    void clpout_offset_change(int new_value);
    void clpout_width_change(int new_value);

private:
    void shell_write_reg(quint32 reg, quint32 value);
    void write_clpout();

    MainDialogForm* form;
    // Bits 0-19: the channel buttons of a group; the last value sent to the
    // group's mask register.
    quint32 mask_bl;
    quint32 mask_br;
    quint32 mask_tl;
    quint32 mask_tr;
    // Channel buttons of each group in bit order (element i drives bit i).
    QList<QPushButton*> channels_bl;
    QList<QPushButton*> channels_br;
    QList<QPushButton*> channels_tl;
    QList<QPushButton*> channels_tr;
};
