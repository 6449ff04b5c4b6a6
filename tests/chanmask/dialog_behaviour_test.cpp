// What the dialog writes to the simulated camera for each operator action:
// the exact shell commands (recorded on their way to the shell), the lines
// that reach the proc file, and the registers the camera ends up holding.
#include "main_dialog.h"
#include "sim_camera.h"

#include <QCheckBox>
#include <QPushButton>
#include <QSpinBox>
#include <QtTest>

#include <cstdio>
#include <dlfcn.h>
#include <unistd.h>

namespace {

QStringList shell_commands;

}  // namespace

// Every shell command the dialog runs passes through here before the C
// library's system() runs it for real.
extern "C" int system(const char* command)
{
    using system_fn = int (*)(const char*);
    static const system_fn real_system = reinterpret_cast<system_fn>(dlsym(RTLD_NEXT, "system"));
    if (command)
        shell_commands << QString::fromLocal8Bit(command);
    return real_system(command);
}

namespace {

const char* const GROUP_BUTTONS[4] = {"pb_bl", "pb_br", "pb_tl", "pb_tr"};
const quint32 MASK_REGS[4] = {0x8210, 0x8214, 0x8218, 0x821C};
const quint32 CLPOUT_REG = 0x8170;

QString command_for(const QString& line)
{
    return QStringLiteral("echo %1 > /proc/qx_pci/regs").arg(line);
}

QString channel_name(int group, int bit)
{
    return QStringLiteral("chl_%1").arg(100 * group + bit);
}

// Standard error of this process and its shells, collected in a file while
// the object lives.
class StderrCapture {
public:
    StderrCapture()
    {
        std::fflush(stderr);
        file_ = std::tmpfile();
        saved_ = dup(STDERR_FILENO);
        dup2(fileno(file_), STDERR_FILENO);
    }
    ~StderrCapture() { finish(); }

    QString finish()
    {
        if (saved_ >= 0) {
            std::fflush(stderr);
            dup2(saved_, STDERR_FILENO);
            close(saved_);
            saved_ = -1;
            QFile in;
            std::rewind(file_);
            if (in.open(file_, QIODevice::ReadOnly))
                text_ = QString::fromLocal8Bit(in.readAll());
            in.close();
            std::fclose(file_);
        }
        return text_;
    }

private:
    std::FILE* file_ = nullptr;
    int saved_ = -1;
    QString text_;
};

}  // namespace

class DialogBehaviourTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<SimCamera> camera;
    std::unique_ptr<MainDialog> dialog;

    template <typename T>
    T* widget(const QString& name)
    {
        T* found = dialog->findChild<T*>(name);
        if (!found)
            qFatal("no widget %s", qPrintable(name));
        return found;
    }

    QPushButton* button(const QString& name) { return widget<QPushButton>(name); }
    QSpinBox* spin_box(const QString& name) { return widget<QSpinBox>(name); }

    void click(const QString& name)
    {
        QWidget* target = dialog->findChild<QWidget*>(name);
        QVERIFY2(target, qPrintable(name));
        QTest::mouseClick(target, Qt::LeftButton);
    }

    // Types into a spin box as an operator would: select all, then the keys.
    void type_into(const QString& name, const QString& keys)
    {
        QSpinBox* box = spin_box(name);
        box->setFocus();
        box->selectAll();
        QTest::keyClicks(box, keys);
    }

    // One operator action in the words of the data tables:
    // "click NAME", "up NAME", "down NAME", "type NAME KEYS", "set NAME VALUE".
    void act(const QString& action)
    {
        const QStringList words = action.split(QLatin1Char(' '));
        if (words[0] == QLatin1String("click"))
            click(words[1]);
        else if (words[0] == QLatin1String("up"))
            QTest::keyClick(spin_box(words[1]), Qt::Key_Up);
        else if (words[0] == QLatin1String("down"))
            QTest::keyClick(spin_box(words[1]), Qt::Key_Down);
        else if (words[0] == QLatin1String("type"))
            type_into(words[1], words[2]);
        else if (words[0] == QLatin1String("set"))
            spin_box(words[1])->setValue(words[2].toInt());
        else
            QFAIL(qPrintable("unknown action " + action));
    }

    // Commands run and lines taken by the camera since the last call agree
    // with `lines`, in order.
    void expect_writes(const QStringList& lines)
    {
        QStringList commands;
        for (const QString& line : lines)
            commands << command_for(line);
        QCOMPARE(shell_commands, commands);
        QCOMPARE(camera->take_proc_lines(), lines);
        QCOMPARE(camera->take_refused_lines(), QStringList());
        shell_commands.clear();
    }

    void expect_group_checked(int group, quint32 mask)
    {
        for (int bit = 0; bit < 20; ++bit)
            QCOMPARE(button(channel_name(group, bit))->isChecked(), bool((mask >> bit) & 1));
    }

private slots:
    void init()
    {
        camera = std::make_unique<SimCamera>();
        QVERIFY2(camera->ok(), qPrintable(camera->error()));
        shell_commands.clear();
        dialog = std::make_unique<MainDialog>();
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
    }

    void cleanup()
    {
        dialog.reset();
        camera.reset();
    }

    void nothing_is_written_at_start()
    {
        QCoreApplication::processEvents();
        expect_writes({});
        for (quint32 reg : MASK_REGS)
            QCOMPARE(camera->reg(reg), 0u);
        QCOMPARE(camera->reg(CLPOUT_REG), 0u);
        QVERIFY(camera->show_channels().contains(QLatin1String("(not written)")));
    }

    void actions_run_exact_commands_data()
    {
        QTest::addColumn<QStringList>("actions");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<quint32>("reg");
        QTest::addColumn<quint32>("value");

        QTest::newRow("chl_5 on") << QStringList{"click chl_5"}
                                  << QStringList{"w 0x8210 0x20"} << 0x8210u << 0x20u;
        QTest::newRow("chl_119 on") << QStringList{"click chl_119"}
                                    << QStringList{"w 0x8214 0x80000"} << 0x8214u << 0x80000u;
        QTest::newRow("pb_tr on") << QStringList{"click pb_tr"}
                                  << QStringList{"w 0x821c 0xfffff"} << 0x821Cu << 0xFFFFFu;
        QTest::newRow("pb_tr on and off") << QStringList{"click pb_tr", "click pb_tr"}
                                          << QStringList{"w 0x821c 0xfffff", "w 0x821c 0x0"}
                                          << 0x821Cu << 0u;
        QTest::newRow("chl_0 off after pb_bl") << QStringList{"click pb_bl", "click chl_0"}
                                               << QStringList{"w 0x8210 0xfffff", "w 0x8210 0xffffe"}
                                               << 0x8210u << 0xFFFFEu;
        QTest::newRow("offset 20 to 21") << QStringList{"up sb_clpout_offset"}
                                         << QStringList{"w 0x8170 0x115"} << 0x8170u << 0x115u;
        QTest::newRow("then clpOut on") << QStringList{"up sb_clpout_offset", "click cb_clpout"}
                                        << QStringList{"w 0x8170 0x115", "w 0x8170 0x1115"}
                                        << 0x8170u << 0x1115u;
        QTest::newRow("width 7 offset 31 clpOut on and off")
            << QStringList{"set sb_clpout_width 7", "set sb_clpout_offset 31", "click cb_clpout",
                           "click cb_clpout"}
            << QStringList{"w 0x8170 0x714", "w 0x8170 0x71f", "w 0x8170 0x171f", "w 0x8170 0x71f"}
            << 0x8170u << 0x71Fu;
    }

    void actions_run_exact_commands()
    {
        QFETCH(QStringList, actions);
        QFETCH(QStringList, lines);
        QFETCH(quint32, reg);
        QFETCH(quint32, value);
        for (const QString& action : actions)
            act(action);
        expect_writes(lines);
        QCOMPARE(camera->reg(reg), value);
    }

    void channel_click_writes_its_own_group_only_data()
    {
        QTest::addColumn<int>("group");
        QTest::addColumn<int>("bit");
        for (int group = 0; group < 4; ++group)
            for (int bit : {0, 7, 19})
                QTest::addRow("%s", qPrintable(channel_name(group, bit))) << group << bit;
    }

    void channel_click_writes_its_own_group_only()
    {
        QFETCH(int, group);
        QFETCH(int, bit);
        const quint32 mask = 1u << bit;
        click(channel_name(group, bit));
        expect_writes({QStringLiteral("w 0x%1 0x%2").arg(MASK_REGS[group], 0, 16).arg(mask, 0, 16)});
        for (int g = 0; g < 4; ++g) {
            QCOMPARE(camera->reg(MASK_REGS[g]), g == group ? mask : 0u);
            expect_group_checked(g, g == group ? mask : 0u);
            QVERIFY(!button(GROUP_BUTTONS[g])->isChecked());
        }

        // A second channel of the group adds its bit; clicking the first
        // again clears only that one.
        const int other = (bit + 1) % 20;
        click(channel_name(group, other));
        click(channel_name(group, bit));
        const quint32 other_mask = 1u << other;
        expect_writes({QStringLiteral("w 0x%1 0x%2").arg(MASK_REGS[group], 0, 16).arg(mask | other_mask, 0, 16),
                       QStringLiteral("w 0x%1 0x%2").arg(MASK_REGS[group], 0, 16).arg(other_mask, 0, 16)});
        expect_group_checked(group, other_mask);
        QCOMPARE(camera->reg(CLPOUT_REG), 0u);
    }

    void group_button_twice_sets_then_clears_its_group_data()
    {
        QTest::addColumn<int>("group");
        for (int group = 0; group < 4; ++group)
            QTest::newRow(GROUP_BUTTONS[group]) << group;
    }

    void group_button_twice_sets_then_clears_its_group()
    {
        QFETCH(int, group);
        const QString reg = QString::number(MASK_REGS[group], 16);
        // Another group holds a channel that must survive.
        const int neighbour = (group + 1) % 4;
        click(channel_name(neighbour, 3));
        shell_commands.clear();
        camera->take_proc_lines();

        click(GROUP_BUTTONS[group]);
        expect_writes({"w 0x" + reg + " 0xfffff"});
        QVERIFY(button(GROUP_BUTTONS[group])->isChecked());
        expect_group_checked(group, 0xFFFFF);
        QCOMPARE(camera->reg(MASK_REGS[group]), 0xFFFFFu);

        click(GROUP_BUTTONS[group]);
        expect_writes({"w 0x" + reg + " 0x0"});
        QVERIFY(!button(GROUP_BUTTONS[group])->isChecked());
        expect_group_checked(group, 0);
        QCOMPARE(camera->reg(MASK_REGS[group]), 0u);

        expect_group_checked(neighbour, 1u << 3);
        QCOMPARE(camera->reg(MASK_REGS[neighbour]), 1u << 3);
        for (int g = 0; g < 4; ++g)
            if (g != group && g != neighbour)
                expect_group_checked(g, 0);
    }

    void unchecking_a_channel_leaves_the_group_button_checked()
    {
        click("pb_tl");
        click("chl_210");
        expect_writes({"w 0x8218 0xfffff", "w 0x8218 0xffbff"});
        QVERIFY(button("pb_tl")->isChecked());
        expect_group_checked(2, 0xFFBFF);

        click("pb_tl");
        expect_writes({"w 0x8218 0x0"});
        QVERIFY(!button("pb_tl")->isChecked());
        expect_group_checked(2, 0);
        QCOMPARE(camera->reg(0x8218), 0u);
    }

    void every_spin_box_change_writes_the_clamp_register_once()
    {
        act("up sb_clpout_offset");
        act("up sb_clpout_offset");
        act("down sb_clpout_offset");
        act("up sb_clpout_width");
        expect_writes({"w 0x8170 0x115", "w 0x8170 0x116", "w 0x8170 0x115", "w 0x8170 0x215"});

        // Keyboard tracking: each value accepted while typing is written.
        act("type sb_clpout_offset 17");
        expect_writes({"w 0x8170 0x201", "w 0x8170 0x211"});
        QCOMPARE(camera->reg(CLPOUT_REG), 0x211u);
    }

    void unchanged_spin_box_values_write_nothing()
    {
        act("set sb_clpout_offset 20");
        act("set sb_clpout_width 1");
        act("set sb_clpout_width 7");
        act("up sb_clpout_width");
        act("set sb_clpout_offset 1");
        act("down sb_clpout_offset");
        // Out-of-range keys are refused by the spin box before any value changes.
        act("type sb_clpout_width 9");
        expect_writes({"w 0x8170 0x714", "w 0x8170 0x701"});
        QCOMPARE(spin_box("sb_clpout_width")->value(), 7);
    }

    void camera_shows_what_the_dialog_set()
    {
        click("chl_5");
        click("pb_tr");
        act("up sb_clpout_offset");
        click("cb_clpout");
        const QString shown = camera->show_channels();
        QVERIFY2(shown.contains("BL 0x8210 = 0x00020  channels  0-19 .....#.............."), qPrintable(shown));
        QVERIFY2(shown.contains("TR 0x821c = 0xfffff  channels 60-79 ####################"), qPrintable(shown));
        QVERIFY2(shown.contains("clamp 0x8170 = 0x1115  enable on, offset 21, width 1"), qPrintable(shown));
    }

    void failed_write_is_reported_and_the_group_catches_up()
    {
        QVERIFY(camera->set_fault("proc-open", "ENOENT"));
        StderrCapture capture;
        click("chl_5");
        const QString failed = capture.finish();
        QVERIFY2(failed.contains(QLatin1String("register 0x8210 not written with 0x20")), qPrintable(failed));
        QCOMPARE(shell_commands, QStringList{command_for("w 0x8210 0x20")});
        shell_commands.clear();
        QCOMPARE(camera->take_proc_lines(), QStringList());
        QCOMPARE(camera->reg(0x8210), 0u);
        QVERIFY(button("chl_5")->isChecked());

        // Once the proc file works again, the next write of the group sends
        // the whole mask, and a write that succeeds reports nothing.
        QVERIFY(camera->clear_faults());
        StderrCapture quiet;
        click("chl_6");
        QCOMPARE(quiet.finish(), QString());
        expect_writes({"w 0x8210 0x60"});
        QCOMPARE(camera->reg(0x8210), 0x60u);
    }

    void failed_clamp_write_names_register_and_value()
    {
        QVERIFY(camera->set_fault("proc-open", "EACCES"));
        StderrCapture capture;
        click("cb_clpout");
        const QString failed = capture.finish();
        QVERIFY2(failed.contains(QLatin1String("void MainDialog::shell_write_reg(quint32, quint32): "
                                               "register 0x8170 not written with 0x1114 (shell exit status")),
                 qPrintable(failed));
        QVERIFY(widget<QCheckBox>("cb_clpout")->isChecked());
        shell_commands.clear();
    }
};

QTEST_MAIN(DialogBehaviourTest)
#include "dialog_behaviour_test.moc"
