// What the dialog writes to the simulated camera for each operator action:
// the exact shell commands (recorded on their way to the shell), the lines
// that reach the proc file, and the registers the camera ends up holding.
#include "main_dialog.h"
#include "sim_camera.h"

#include <QMap>
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

    // The commands run since the last call are those of `lines`, in order;
    // the camera took each line, and holds the last value of each register.
    void expect_writes(const QStringList& lines)
    {
        QStringList commands;
        QMap<quint32, quint32> last;
        for (const QString& line : lines) {
            commands << command_for(line);
            const QStringList fields = line.split(QLatin1Char(' '));
            last[fields[1].toUInt(nullptr, 16)] = fields[2].toUInt(nullptr, 16);
        }
        QCOMPARE(shell_commands, commands);
        shell_commands.clear();
        QCOMPARE(camera->take_proc_lines(), lines);
        QCOMPARE(camera->take_refused_lines(), QStringList());
        for (auto reg = last.cbegin(); reg != last.cend(); ++reg)
            QCOMPARE(camera->reg(reg.key()), reg.value());
    }

    // Channel buttons of the group checked exactly where the mask has bits.
    void expect_group_checked(int group, quint32 mask)
    {
        for (int bit = 0; bit < 20; ++bit)
            QCOMPARE(button(channel_name(group, bit))->isChecked(), bool((mask >> bit) & 1));
    }

    static QString mask_line(int group, quint32 mask)
    {
        return QStringLiteral("w 0x%1 0x%2").arg(MASK_REGS[group], 0, 16).arg(mask, 0, 16);
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
    }

    void actions_run_exact_commands_data()
    {
        QTest::addColumn<QStringList>("actions");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("chl_5 on") << QStringList{"click chl_5"} << QStringList{"w 0x8210 0x20"};
        QTest::newRow("chl_119 on") << QStringList{"click chl_119"} << QStringList{"w 0x8214 0x80000"};
        QTest::newRow("pb_tr on and off") << QStringList{"click pb_tr", "click pb_tr"}
                                          << QStringList{"w 0x821c 0xfffff", "w 0x821c 0x0"};
        QTest::newRow("chl_0 off after pb_bl") << QStringList{"click pb_bl", "click chl_0"}
                                               << QStringList{"w 0x8210 0xfffff", "w 0x8210 0xffffe"};
        QTest::newRow("offset 20 to 21, then clpOut on")
            << QStringList{"up sb_clpout_offset", "click cb_clpout"}
            << QStringList{"w 0x8170 0x115", "w 0x8170 0x1115"};
        QTest::newRow("width 7 offset 31, clpOut on and off")
            << QStringList{"set sb_clpout_width 7", "set sb_clpout_offset 31", "click cb_clpout", "click cb_clpout"}
            << QStringList{"w 0x8170 0x714", "w 0x8170 0x71f", "w 0x8170 0x171f", "w 0x8170 0x71f"};
    }

    void actions_run_exact_commands()
    {
        QFETCH(QStringList, actions);
        QFETCH(QStringList, lines);
        for (const QString& action : actions)
            act(action);
        expect_writes(lines);
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
        const int other = (bit + 1) % 20;
        click(channel_name(group, bit));
        click(channel_name(group, other));
        click(channel_name(group, bit));
        expect_writes({mask_line(group, 1u << bit), mask_line(group, 1u << bit | 1u << other),
                       mask_line(group, 1u << other)});
        for (int g = 0; g < 4; ++g) {
            expect_group_checked(g, g == group ? 1u << other : 0u);
            QVERIFY(!button(GROUP_BUTTONS[g])->isChecked());
            QCOMPARE(camera->reg(MASK_REGS[g]), g == group ? 1u << other : 0u);
        }
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
        const int neighbour = (group + 1) % 4;
        click(channel_name(neighbour, 3));
        click(GROUP_BUTTONS[group]);
        expect_group_checked(group, 0xFFFFF);
        // Unchecking one channel leaves the group button checked.
        click(channel_name(group, 10));
        QVERIFY(button(GROUP_BUTTONS[group])->isChecked());
        click(GROUP_BUTTONS[group]);
        QVERIFY(!button(GROUP_BUTTONS[group])->isChecked());
        expect_writes({mask_line(neighbour, 1u << 3), mask_line(group, 0xFFFFF), mask_line(group, 0xFFBFF),
                       mask_line(group, 0)});
        expect_group_checked(group, 0);
        expect_group_checked(neighbour, 1u << 3);
        QCOMPARE(camera->reg(MASK_REGS[neighbour]), 1u << 3);
    }

    void every_spin_box_change_writes_the_clamp_register_once()
    {
        for (const char* action : {"up sb_clpout_offset", "up sb_clpout_offset", "down sb_clpout_offset",
                                   "up sb_clpout_width", "type sb_clpout_offset 17"})
            act(action);
        // Keyboard tracking: each value accepted while typing is written.
        expect_writes({"w 0x8170 0x115", "w 0x8170 0x116", "w 0x8170 0x115", "w 0x8170 0x215",
                       "w 0x8170 0x201", "w 0x8170 0x211"});
    }

    void unchanged_spin_box_values_write_nothing()
    {
        // Same value, steps beyond the range and out-of-range keys change
        // no value and so write nothing.
        for (const char* action : {"set sb_clpout_offset 20", "set sb_clpout_width 1", "set sb_clpout_width 7",
                                   "up sb_clpout_width", "set sb_clpout_offset 1", "down sb_clpout_offset",
                                   "type sb_clpout_width 9"})
            act(action);
        expect_writes({"w 0x8170 0x714", "w 0x8170 0x701"});
        QCOMPARE(spin_box("sb_clpout_width")->value(), 7);
    }

    void camera_shows_what_the_dialog_set()
    {
        click("chl_5");
        click("pb_tr");
        click("cb_clpout");
        const QString shown = camera->show_channels();
        for (const char* line : {"BL 0x8210 = 0x00020  channels  0-19 .....#..............",
                                 "TR 0x821c = 0xfffff  channels 60-79 ####################",
                                 "clamp 0x8170 = 0x1114  enable on, offset 20, width 1"})
            QVERIFY2(shown.contains(QLatin1String(line)), qPrintable(shown));
    }

    void failed_write_is_reported_and_the_group_catches_up_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::newRow("proc file missing") << QStringLiteral("proc-missing");
        QTest::newRow("proc file not writable") << QStringLiteral("proc-denied");
    }

    void failed_write_is_reported_and_the_group_catches_up()
    {
        QFETCH(QString, fault);
        QVERIFY(camera->set_fault(fault.toStdString()));
        StderrCapture capture;
        click("chl_5");
        const QString failed = capture.finish();
        // The shell's own complaint, then the dialog's line.
        const QRegularExpression report(QStringLiteral(
            "^sh: .*/proc/qx_pci/regs.*\\n"
            "void MainDialog::shell_write_reg\\(quint32, quint32\\): "
            "register 0x8210 not written with 0x20 \\(shell exit status [1-9][0-9]*\\)\\n$"));
        QVERIFY2(report.match(failed).hasMatch(), qPrintable(failed));
        QCOMPARE(shell_commands, QStringList{command_for("w 0x8210 0x20")});
        shell_commands.clear();
        expect_writes({});
        QCOMPARE(camera->reg(0x8210), 0u);
        QVERIFY(button("chl_5")->isChecked());

        // Once the proc file works again, the next write of the group sends
        // the whole mask, and a write that succeeds reports nothing.
        QVERIFY(camera->clear_faults());
        StderrCapture quiet;
        click("chl_6");
        QCOMPARE(quiet.finish(), QString());
        expect_writes({"w 0x8210 0x60"});
    }
};

QTEST_MAIN(DialogBehaviourTest)
#include "dialog_behaviour_test.moc"
