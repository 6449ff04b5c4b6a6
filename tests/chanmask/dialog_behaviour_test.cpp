// What the dialog writes to the simulated camera for each operator action:
// the exact shell commands (recorded on their way to the shell), the lines
// that reach the proc file, and the registers the camera ends up holding.
#include "main_dialog.h"
#include "sim_camera.h"

#include <QApplication>
#include <QFile>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <unistd.h>

// LeakSanitizer's built-in suppressions for this program (sanitizer build):
// fontconfig's font cache, which Qt's offscreen platform loads, and D-Bus's
// connection buffer are never freed. Neither is the project's code.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libfontconfig.so\nleak:libdbus-1.so\n";
}

namespace {

std::vector<std::string> shell_commands;

}  // namespace

// Every shell command the dialog runs passes through here before the C
// library's system() runs it for real.
extern "C" int system(const char* command)
{
    using system_fn = int (*)(const char*);
    static const system_fn real_system = reinterpret_cast<system_fn>(dlsym(RTLD_NEXT, "system"));
    if (command)
        shell_commands.push_back(command);
    return real_system(command);
}

namespace {

const char* const GROUP_BUTTONS[4] = {"pb_bl", "pb_br", "pb_tl", "pb_tr"};
const quint32 MASK_REGS[4] = {0x8210, 0x8214, 0x8218, 0x821C};
const quint32 CLPOUT_REG = 0x8170;

std::string command_for(const std::string& line)
{
    return "echo " + line + " > /proc/qx_pci/regs";
}

std::string channel_name(int group, int bit)
{
    return "chl_" + std::to_string(100 * group + bit);
}

std::string mask_line(int group, quint32 mask)
{
    char line[40];
    std::snprintf(line, sizeof line, "w 0x%x 0x%x", MASK_REGS[group], mask);
    return line;
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


// The operator's bench: a fresh simulated camera whose environment the
// dialog's shells inherit, and the dialog shown on Qt's offscreen platform.
class Bench {
public:
    Bench()
    {
        sim.export_environment();
        shell_commands.clear();
        dialog = std::make_unique<MainDialog>();
        dialog->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
    }

    qxtest::SimCamera sim;
    std::unique_ptr<MainDialog> dialog;

    template <typename T>
    T* widget(const std::string& name)
    {
        T* found = dialog->findChild<T*>(QString::fromStdString(name));
        if (!found)
            ADD_FAILURE() << "no widget " << name;
        return found;
    }
    QPushButton* button(const std::string& name) { return widget<QPushButton>(name); }
    QSpinBox* spin_box(const std::string& name) { return widget<QSpinBox>(name); }

    void click(const std::string& name)
    {
        if (QWidget* target = widget<QWidget>(name))
            QTest::mouseClick(target, Qt::LeftButton);
    }

    // Types into a spin box as an operator would: select all, then the keys.
    void type_into(const std::string& name, const std::string& keys)
    {
        QSpinBox* box = spin_box(name);
        box->setFocus();
        box->selectAll();
        QTest::keyClicks(box, QString::fromStdString(keys));
    }

    // One operator action in the words of the tables below:
    // "click NAME", "up NAME", "down NAME", "type NAME KEYS", "set NAME VALUE".
    void act(const std::string& action)
    {
        const QStringList words = QString::fromStdString(action).split(QLatin1Char(' '));
        const std::string what = words[0].toStdString(), name = words.value(1).toStdString();
        if (what == "click")
            click(name);
        else if (what == "up")
            QTest::keyClick(spin_box(name), Qt::Key_Up);
        else if (what == "down")
            QTest::keyClick(spin_box(name), Qt::Key_Down);
        else if (what == "type")
            type_into(name, words[2].toStdString());
        else if (what == "set")
            spin_box(name)->setValue(words[2].toInt());
        else
            ADD_FAILURE() << "unknown action " << action;
    }

    // The commands run since the last call are those of `lines`, in order;
    // the camera took each line, and holds the last value of each register.
    void expect_writes(const std::vector<std::string>& lines)
    {
        std::vector<std::string> commands;
        std::map<quint32, quint32> last;
        for (const std::string& line : lines) {
            commands.push_back(command_for(line));
            const QStringList fields = QString::fromStdString(line).split(QLatin1Char(' '));
            last[fields[1].toUInt(nullptr, 16)] = fields[2].toUInt(nullptr, 16);
        }
        EXPECT_EQ(shell_commands, commands);
        shell_commands.clear();
        std::vector<qxtest::TraceRecord> trace = sim.trace();
        sim.clear_trace();
        EXPECT_EQ(qxtest::proc_lines(trace), lines);
        EXPECT_EQ(qxtest::refused_proc_lines(trace), std::vector<std::string>());
        for (const auto& reg : last)
            EXPECT_EQ(sim.peek(reg.first), reg.second) << std::hex << reg.first;
    }

    // Channel buttons of the group checked exactly where the mask has bits.
    void expect_group_checked(int group, quint32 mask)
    {
        for (int bit = 0; bit < 20; ++bit)
            EXPECT_EQ(button(channel_name(group, bit))->isChecked(), bool((mask >> bit) & 1))
                << channel_name(group, bit);
    }
};

// One application object for the whole run, on the offscreen platform
// unless the caller chose one.
class ChanmaskDialog : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        static int argc = 1;
        static char name[] = "chanmask_behaviour_test";
        static char* argv[] = {name, nullptr};
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        if (!QApplication::instance())
            new QApplication(argc, argv);
    }
};

}  // namespace

TEST_F(ChanmaskDialog, nothing_is_written_at_start)
{
    Bench b;
    QCoreApplication::processEvents();
    b.expect_writes({});
    for (quint32 reg : MASK_REGS)
        EXPECT_EQ(b.sim.peek(reg), 0u);
    EXPECT_EQ(b.sim.peek(CLPOUT_REG), 0u);
}

TEST_F(ChanmaskDialog, actions_run_exact_commands)
{
    struct Case {
        const char* name;
        std::vector<std::string> actions;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"chl_5 on", {"click chl_5"}, {"w 0x8210 0x20"}},
        {"chl_119 on", {"click chl_119"}, {"w 0x8214 0x80000"}},
        {"pb_tr on and off", {"click pb_tr", "click pb_tr"}, {"w 0x821c 0xfffff", "w 0x821c 0x0"}},
        {"chl_0 off after pb_bl", {"click pb_bl", "click chl_0"}, {"w 0x8210 0xfffff", "w 0x8210 0xffffe"}},
        {"offset 20 to 21, then clpOut on", {"up sb_clpout_offset", "click cb_clpout"},
         {"w 0x8170 0x115", "w 0x8170 0x1115"}},
        {"width 7 offset 31, clpOut on and off",
         {"set sb_clpout_width 7", "set sb_clpout_offset 31", "click cb_clpout", "click cb_clpout"},
         {"w 0x8170 0x714", "w 0x8170 0x71f", "w 0x8170 0x171f", "w 0x8170 0x71f"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bench b;
        for (const std::string& action : c.actions)
            b.act(action);
        b.expect_writes(c.lines);
    }
}

TEST_F(ChanmaskDialog, channel_click_writes_its_own_group_only)
{
    for (int group = 0; group < 4; ++group) {
        for (int bit : {0, 7, 19}) {
            SCOPED_TRACE(channel_name(group, bit));
            Bench b;
            const int other = (bit + 1) % 20;
            b.click(channel_name(group, bit));
            b.click(channel_name(group, other));
            b.click(channel_name(group, bit));
            b.expect_writes({mask_line(group, 1u << bit), mask_line(group, 1u << bit | 1u << other),
                             mask_line(group, 1u << other)});
            for (int g = 0; g < 4; ++g) {
                b.expect_group_checked(g, g == group ? 1u << other : 0u);
                EXPECT_FALSE(b.button(GROUP_BUTTONS[g])->isChecked());
                EXPECT_EQ(b.sim.peek(MASK_REGS[g]), g == group ? 1u << other : 0u);
            }
        }
    }
}

TEST_F(ChanmaskDialog, group_button_twice_sets_then_clears_its_group)
{
    for (int group = 0; group < 4; ++group) {
        SCOPED_TRACE(GROUP_BUTTONS[group]);
        Bench b;
        const int neighbour = (group + 1) % 4;
        b.click(channel_name(neighbour, 3));
        b.click(GROUP_BUTTONS[group]);
        b.expect_group_checked(group, 0xFFFFF);
        // Unchecking one channel leaves the group button checked.
        b.click(channel_name(group, 10));
        EXPECT_TRUE(b.button(GROUP_BUTTONS[group])->isChecked());
        b.click(GROUP_BUTTONS[group]);
        EXPECT_FALSE(b.button(GROUP_BUTTONS[group])->isChecked());
        b.expect_writes({mask_line(neighbour, 1u << 3), mask_line(group, 0xFFFFF), mask_line(group, 0xFFBFF),
                         mask_line(group, 0)});
        b.expect_group_checked(group, 0);
        b.expect_group_checked(neighbour, 1u << 3);
        EXPECT_EQ(b.sim.peek(MASK_REGS[neighbour]), 1u << 3);
    }
}

TEST_F(ChanmaskDialog, every_spin_box_change_writes_the_clamp_register_once)
{
    Bench b;
    for (const char* action : {"up sb_clpout_offset", "up sb_clpout_offset", "down sb_clpout_offset",
                               "up sb_clpout_width", "type sb_clpout_offset 17"})
        b.act(action);
    // Keyboard tracking: each value accepted while typing is written.
    b.expect_writes({"w 0x8170 0x115", "w 0x8170 0x116", "w 0x8170 0x115", "w 0x8170 0x215", "w 0x8170 0x201",
                     "w 0x8170 0x211"});
}

TEST_F(ChanmaskDialog, unchanged_spin_box_values_write_nothing)
{
    Bench b;
    // Same value, steps beyond the range and out-of-range keys change no
    // value and so write nothing.
    for (const char* action : {"set sb_clpout_offset 20", "set sb_clpout_width 1", "set sb_clpout_width 7",
                               "up sb_clpout_width", "set sb_clpout_offset 1", "down sb_clpout_offset",
                               "type sb_clpout_width 9"})
        b.act(action);
    b.expect_writes({"w 0x8170 0x714", "w 0x8170 0x701"});
    EXPECT_EQ(b.spin_box("sb_clpout_width")->value(), 7);
}

TEST_F(ChanmaskDialog, camera_shows_what_the_dialog_set)
{
    Bench b;
    b.click("chl_5");
    b.click("pb_tr");
    b.click("cb_clpout");
    const std::string shown = b.sim.show();
    for (const char* line : {"BL 0x8210 = 0x00020  channels  0-19 .....#..............",
                             "TR 0x821c = 0xfffff  channels 60-79 ####################",
                             "clamp 0x8170 = 0x1114  enable on, offset 20, width 1"})
        EXPECT_NE(shown.find(line), std::string::npos) << line << "\n" << shown;
}

TEST_F(ChanmaskDialog, failed_write_is_reported_and_the_group_catches_up)
{
    for (const char* fault : {"proc-missing", "proc-denied"}) {
        SCOPED_TRACE(fault);
        Bench b;
        b.sim.fault(fault);
        StderrCapture capture;
        b.click("chl_5");
        const QString failed = capture.finish();
        // The shell's own complaint, then the dialog's line.
        const QRegularExpression report(QStringLiteral(
            "^sh: .*/proc/qx_pci/regs.*\\n"
            "void MainDialog::shell_write_reg\\(quint32, quint32\\): "
            "register 0x8210 not written with 0x20 \\(shell exit status [1-9][0-9]*\\)\\n$"));
        EXPECT_TRUE(report.match(failed).hasMatch()) << failed.toStdString();
        EXPECT_EQ(shell_commands, std::vector<std::string>{command_for("w 0x8210 0x20")});
        shell_commands.clear();
        b.expect_writes({});
        EXPECT_EQ(b.sim.peek(0x8210), 0u);
        EXPECT_TRUE(b.button("chl_5")->isChecked());

        // Once the proc file works again, the next write of the group sends
        // the whole mask, and a write that succeeds reports nothing.
        b.sim.clear_faults();
        StderrCapture quiet;
        b.click("chl_6");
        EXPECT_EQ(quiet.finish(), QString());
        b.expect_writes({"w 0x8210 0x60"});
    }
}
