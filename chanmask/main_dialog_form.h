// Widgets and layouts of the channel mask dialog, built by hand.
//
// The form only points at the objects; the dialog's object tree owns them.
// Members are in creation order. Channel buttons of a group are kept in bit
// order: chl_bl[i] is the button named chl_<i>, chl_br[i] chl_<100 + i>, and
// so on for TL (200) and TR (300).
#pragma once

class QCheckBox;
class QDialog;
class QHBoxLayout;
class QLabel;
class QPushButton;
class QSpacerItem;
class QSpinBox;
class QVBoxLayout;

struct MainDialogForm {
    static constexpr int CHANNELS_PER_GROUP = 20;

    QVBoxLayout* verticalLayout;

    QHBoxLayout* bl_layout;
    QPushButton* pb_bl;
    QPushButton* chl_bl[CHANNELS_PER_GROUP];
    QSpacerItem* bl_spacer;

    QHBoxLayout* br_layout;
    QPushButton* pb_br;
    QPushButton* chl_br[CHANNELS_PER_GROUP];
    QSpacerItem* br_spacer;

    QHBoxLayout* tl_layout;
    QPushButton* pb_tl;
    QPushButton* chl_tl[CHANNELS_PER_GROUP];
    QSpacerItem* tl_spacer;

    QHBoxLayout* tr_layout;
    QPushButton* pb_tr;
    QPushButton* chl_tr[CHANNELS_PER_GROUP];
    QSpacerItem* tr_spacer;

    QHBoxLayout* horizontalLayout_4;
    QCheckBox* cb_clpout;
    QHBoxLayout* horizontalLayout;
    QLabel* label;
    QSpinBox* sb_clpout_offset;
    QHBoxLayout* horizontalLayout_3;
    QLabel* label_2;
    QSpinBox* sb_clpout_width;
    QSpacerItem* clpout_spacer;

    QHBoxLayout* horizontalLayout_2;
    QSpacerItem* done_spacer;
    QPushButton* pb_done;

    void setup(QDialog* dialog);
    void retranslate(QDialog* dialog);
};
