// The decoded trace: register accesses grouped into I2C transactions, flash
// operations, proc lines, opens and power cuts, per process.
#include "sim_camera.h"

#include "qxsim/trace/trace_decoder.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace {

using qxtest::Result;
using qxtest::SimCamera;
using qxtest::status_is;

// Trace text from "<pid> <rest>" lines: line i gets the time 1.<i as 9 digits>.
std::string stamped(const std::vector<std::string>& lines)
{
    std::string text;
    for (size_t i = 0; i < lines.size(); i++) {
        size_t blank = lines[i].find(' ');
        if (blank == std::string::npos || lines[i].find_first_not_of("0123456789") != blank)
            text += lines[i];
        else
            text += fmt::format("{} 1.{:09} {}", lines[i].substr(0, blank), i, lines[i].substr(blank + 1));
        text += '\n';
    }
    return text;
}

// "<pid> <first record> <block> <text>" per entry.
std::vector<std::string> summary(const std::vector<qxsim::DecodedEntry>& entries)
{
    std::vector<std::string> out;
    for (const qxsim::DecodedEntry& e : entries)
        out.push_back(fmt::format("{} {} {} {}", e.pid, e.first, e.block, e.text));
    return out;
}

struct DecodeCase {
    const char* name;
    std::vector<std::string> trace;
    std::vector<std::string> decoded;
};

const DecodeCase decode_cases[] = {
    {"i2c_reads_with_width_busy_polls_and_the_device_meaning",
     {"7 R 0x00000184 0x00000000", "7 W 0x00000188 0x00000004", "7 W 0x00000180 0x00050111",
      "7 R 0x00000184 0x80000000", "7 R 0x00000184 0x00000000", "7 R 0x00000190 0x00004348",
      "7 R 0x00000180 0x00000020",
      "7 R 0x00000184 0x80000000", "7 R 0x00000184 0x00000000", "7 W 0x00000188 0x00000005",
      "7 W 0x00000180 0x00050111", "7 R 0x00000184 0x00000000", "7 R 0x00000190 0x00000048",
      "7 R 0x00000180 0x00000000"},
     {"7 0 i2c-isb read dev 0x50 reg 0x04 -> 0x4348 (16 bit), ack, 1 busy poll",
      "7 7 i2c-isb read dev 0x50 reg 0x05 -> 0x48 (8 bit), ack, 1 busy poll waiting for idle [sensor code 'H']"}},
    {"i2c_read_without_acknowledge_then_a_master_that_stays_busy",
     {"3 R 0x00000164 0x00000000", "3 W 0x00000168 0x00000010", "3 W 0x00000160 0x00002111",
      "3 R 0x00000164 0x40000000", "3 R 0x00000164 0x80000000", "3 R 0x00000164 0x80000000"},
     {"3 0 i2c-main read dev 0x02 reg 0x10, no ack (error bit, status 0x40000000)",
      "3 4 i2c-main wait for idle, 2 busy polls, never idle"}},
    {"a_device_address_beyond_8_bits_is_a_command_the_master_refuses",
     {"3 W 0x00000188 0x00000004", "3 W 0x00000180 0x00250111", "3 R 0x00000184 0x40000000"},
     {"3 0 i2c-isb command 0x250111 (unknown) dev 0x250 reg 0x04, no ack (error bit, status 0x40000000)"}},
    {"i2c_writes_take_their_result_from_the_next_status_read",
     {"9 R 0x00000004 0x00000011", "9 R 0x00000184 0x00000000", "9 W 0x0000018c 0x00004b00",
      "9 W 0x00000188 0x00000000", "9 W 0x00000180 0x00010120", "9 R 0x00000184 0x00000000",
      "9 W 0x0000018c 0x00000000", "9 W 0x00000188 0x0000001f", "9 W 0x00000180 0x00073120",
      "9 R 0x00000184 0x40000000", "9 W 0x0000018c 0x00000000", "9 W 0x00000188 0x0000005f",
      "9 W 0x00000180 0x00073120"},
     {"9 0 fpga read FPGA_STATUS -> 0x00000011 (I2C bus enabled)",
      "9 1 i2c-isb write dev 0x10 reg 0x00 data 0x4b00, ack [U12 VREF: load input, code 300]",
      "9 6 i2c-isb write dev 0x73 reg 0x1f data 0x0000, no ack (error bit, status 0x40000000) "
      "[U12+U14 all outputs: update from input]",
      "9 10 i2c-isb write dev 0x73 reg 0x5f data 0x0000, result not read [U12+U14: power down chip]"}},
    {"failed_accesses_are_shown_in_their_transaction",
     {"4 R 0x00000184 0x00000000", "4 W 0x00000188 0x00000004", "4 W 0x00000180 E5",
      "4 R 0x00000184 0x00000000", "4 W 0x00000188 0x00000005", "4 W 0x00000180 0x00050111",
      "4 R 0x00000184 0x00000000", "4 R 0x00000190 E5", "4 R 0x00000004 E5"},
     {"4 0 i2c-isb command not written, reg 0x04 set; E5 at W ISB_I2C_CONTROL",
      "4 3 i2c-isb read dev 0x50 reg 0x05, ack, data not read; E5 at R ISB_I2C_RD_DATA",
      "4 8 fpga read FPGA_STATUS failed E5"}},
    {"proc_lines_of_three_shells_make_one_i2c_write",
     {"11 O /proc/qx_pci/regs", "11 P w 0x18c 0x4b00", "12 O /proc/qx_pci/regs", "12 P w 0x188 0x30",
      "13 O /proc/qx_pci/regs", "13 P w 0x180 0x10120", "14 P w 0x8170 0x114", "15 P! w 0x8170 zz",
      "16 R 0x00000184 0x00000000", "16 W 0x0000018c 0x00000000", "16 W 0x00000188 0x0000005f",
      "16 W 0x00000180 0x00073120", "16 R 0x00000184 0x00000000"},
     {"11 0 proc open /proc/qx_pci/regs",
      "11 1 i2c-isb write dev 0x10 reg 0x30 data 0x4b00, outcome read by pid 16 [U12 VREF: load and update, "
      "code 300] (proc lines of pid 11 12 13)",
      "12 2 proc open /proc/qx_pci/regs", "13 4 proc open /proc/qx_pci/regs",
      "14 6 proc w 0x8170 0x114: CLPOUT_CTRL = 0x00000114 (clamp output off, width 1, offset 20)",
      "15 7 proc refused: w 0x8170 zz",
      "16 8 i2c-isb write dev 0x73 reg 0x5f data 0x0000, ack [U12+U14: power down chip]"}},
    {"flash_operations_from_identification_to_reconfiguration",
     {"5 W 0x00001000 0x00000001", "5 R 0x00001004 0x00000001", "5 R 0x00001004 0x00000000",
      "5 R 0x00001004 0x00000000", "5 W 0x00001000 0x00000002", "5 R 0x00001004 0x00002100",
      "5 R 0x00001004 0x00002100", "5 W 0x00001010 0x00000068", "5 W 0x00001000 0x00000020",
      "5 R 0x00001004 0x00002100", "5 R 0x00001004 0x00002100", "5 W 0x00001008 0x02010000",
      "5 W 0x00001000 0x00000040", "5 R 0x00001004 0x00002103", "5 R 0x00001004 0x00002102",
      "5 W 0x00001004 0x00000002", "5 R 0x00001018 0x00000000", "5 W 0x00001008 0x07fffff0",
      "5 W 0x0000100c 0x0000000c", "5 W 0x00001014 0x02000000", "5 W 0x00001014 0x00000040",
      "5 W 0x00001014 0xfdffffff", "5 R 0x00001018 0x00000003", "5 W 0x00001000 0x00000008",
      "5 R 0x00001004 0x00002100", "5 R 0x00001004 0x00002100", "5 W 0x00001008 0x02000000",
      "5 W 0x0000100c 0x00000008", "5 W 0x00001000 0x00000210", "5 R 0x00001004 0x00002100",
      "5 R 0x00001004 0x00002100", "5 R 0x00001020 0x00000002", "5 R 0x0000101c 0x11111111",
      "5 W 0x00001000 0x00001000", "5 W 0x00001000 0x00000000", "5 W 0x00001010 0x0000005c",
      "5 W 0x00001000 0x00000020", "5 R 0x00001004 0x00002100", "5 W 0x00001040 0x00000010"},
     {"5 0 flash 4-byte addressing, 1 busy poll", "5 4 flash read ID -> 0x21 EPCQ-L1024",
      "5 7 flash protect code 0x68: unlock, sectors 0..511 protected (0x0000000..0x1ffffff)",
      "5 11 flash erase sector 513 at 0x02010000, erase error (status 0x00002102), 1 busy poll, error bits 0x2 cleared",
      "5 17 flash program offset record at 0x07fffff0: 0x02000000 0x00000040 0xfdffffff "
      "(application image at 0x02000000)",
      "5 26 flash read 8 bytes at 0x02000000 (image data), 1 of 2 words popped", "5 33 flash clear FIFOs",
      "5 35 flash protect code 0x5c: lock, whole chip protected",
      "5 38 fpga reconfiguration from flash (ASMI_RECONFIG 0x10)"}},
    {"program_that_fails_or_is_cut_short",
     {"6 O /dev/qx_fpga", "6 W 0x00001008 0x02000100", "6 W 0x0000100c 0x00000100", "6 W 0x00001014 0x01020304",
      "6 R 0x00001018 0x00000001", "6 W 0x00001000 0x00000208", "6 R 0x00001004 0x00000005",
      "6 R 0x00001004 0x00000004", "6 W 0x00001004 0x00000004", "6 W 0x00001008 0x02000000",
      "6 W 0x00001014 0x01020304", "6 W 0x00001014 K", "garbage line", "8 O /dev/qx_fpga E13",
      "10 O /dev/qx_fpga", "10 C /dev/qx_fpga"},
     {"6 0 dev open /dev/qx_fpga",
      "6 1 flash program 256 bytes at 0x02000100 (image data), only 1 of 64 words in the FIFO, write error "
      "(status 0x00000004), 1 busy poll, error bits 0x4 cleared",
      "6 9 flash no command, 1 word pushed; power cut", "6 11 power power cut before W ASMI_WR_FIFO, process killed",
      "0 12 ? unreadable line 13: garbage line", "8 13 dev open /dev/qx_fpga failed E13", "10 14 dev open /dev/qx_fpga",
      "10 15 dev close /dev/qx_fpga"}},
    {"a_write_s_outcome_read_by_another_process_and_writes_after_a_command_mix_nothing",
     {"9 W 0x0000018c 0x00000000", "9 W 0x00000188 0x0000005f", "9 W 0x00000180 0x00073120",
      "10 R 0x00000184 0x80000000", "10 R 0x00000184 0x40000000", "10 W 0x00000188 0x00000004",
      "10 W 0x00000180 0x00050111", "10 R 0x00000184 0x00000000", "10 R 0x00000190 0x00000043",
      "10 R 0x00000180 0x00000000",
      "9 W 0x0000018c 0x00004b00", "9 W 0x00000188 0x00000000", "9 W 0x00000180 0x00010120",
      "10 R 0x00000184 0x00000000", "9 R 0x00000184 0x00000000", "9 X exit 0", "10 X exit 1", "10 Z exit 1"},
     {"9 0 i2c-isb write dev 0x73 reg 0x5f data 0x0000, no ack (error bit, status 0x40000000), outcome read by "
      "pid 10 [U12+U14: power down chip]",
      "10 3 i2c-isb read dev 0x50 reg 0x04 -> 0x43 (8 bit), ack, 1 busy poll waiting for idle [sensor code 'C']",
      "9 10 i2c-isb write dev 0x10 reg 0x00 data 0x4b00, outcome read by pid 10 [U12 VREF: load input, code 300]",
      "10 13 i2c-isb wait for idle", "9 14 i2c-isb wait for idle", "9 15 exit exit status 0",
      "10 16 exit exit status 1", "10 17 exit end of the recording: the recorded command's exit status 1"}},
    // The cut is on the operation in progress: an access that would have
    // begun the next operation leaves the finished one as it was (the
    // record, the I2C read); a cut inside an erase or a program (a K line
    // after its command) ends that one, with the bytes that landed.
    {"power_cuts_fall_on_the_operation_in_progress",
     {"4 W 0x00001008 0x07fffff0", "4 W 0x0000100c 0x0000000c", "4 W 0x00001014 0x02000000",
      "4 W 0x00001014 0x00000040", "4 W 0x00001014 0xfdffffff", "4 W 0x00001000 0x00000008",
      "4 R 0x00001004 0x00000000", "4 R 0x00001004 0x00000000", "4 W 0x00001010 K",
      "7 R 0x00000184 0x00000000", "7 W 0x00000188 0x00000004", "7 W 0x00000180 0x00050111",
      "7 R 0x00000184 0x00000000", "7 R 0x00000190 0x00000043", "7 R 0x00000180 0x00000000",
      "7 R 0x00000184 K",
      "5 W 0x00001008 0x02000000", "5 W 0x00001000 0x00000040", "5 K erase 0x02000000 4096",
      "6 W 0x00001008 0x02000100", "6 W 0x0000100c 0x00000008", "6 W 0x00001014 0x01020304",
      "6 W 0x00001014 0x05060708", "6 W 0x00001000 0x00000208", "6 K program 0x02000100 5"},
     {"4 0 flash program offset record at 0x07fffff0: 0x02000000 0x00000040 0xfdffffff "
      "(application image at 0x02000000)",
      "4 8 power power cut before W ASMI_PROTECT_CODE, process killed",
      "7 9 i2c-isb read dev 0x50 reg 0x04 -> 0x43 (8 bit), ack [sensor code 'C']",
      "7 15 power power cut before R ISB_I2C_STATUS, process killed",
      "5 16 flash erase sector 512 at 0x02000000, completion not polled; power cut: the first 4096 of 65536 bytes "
      "erased",
      "5 18 power power cut in the sector erase at 0x02000000: the first 4096 of 65536 bytes erased, process killed",
      "6 19 flash program 8 bytes at 0x02000100 (image data), completion not polled; power cut: the first 5 of 8 bytes "
      "programmed",
      "6 24 power power cut in the page program at 0x02000100: the first 5 of 8 bytes programmed, process killed"}},
    // A recording of a command that was killed: its process left no exit
    // record, the end mark gives the signal.
    {"a_recording_of_a_killed_command_ends_in_its_signal",
     {"# qxsim recording 2", "5 O /dev/qx_fpga", "5 R 0x00000004 0x00000011", "5 Z signal 9"},
     {"5 1 dev open /dev/qx_fpga", "5 2 fpga read FPGA_STATUS -> 0x00000011 (I2C bus enabled)",
      "5 3 exit end of the recording: the recorded command was killed by signal 9"}},
    {"interleaved_processes_are_kept_apart_and_mixing_is_flagged",
     {"7 W 0x00000188 0x00000004", "8 W 0x00000188 0x00000005", "7 W 0x00000180 0x00050111",
      "20 W 0x000001a8 0x00000001", "7 R 0x00000184 0x00000000", "7 R 0x00000190 0x00000048",
      "7 R 0x00000180 0x00000000", "8 W 0x00000180 0x00050111", "20 W 0x000001a0 0x00003111",
      "8 R 0x00000184 0x00000000", "8 R 0x00000190 0x00000048", "8 R 0x00000180 0x00000000",
      "20 R 0x000001a4 0x00000000", "20 R 0x000001b0 0x000000aa", "20 R 0x000001a0 0x00000000",
      "5 W 0x00001008 0x02000000", "6 W 0x00001008 0x03000000", "5 W 0x00001000 0x00000040",
      "5 R 0x00001004 0x00000000", "6 W 0x00001000 0x00000040", "6 R 0x00001004 0x00000000"},
     {"7 0 i2c-isb read dev 0x50 reg 0x05 -> 0x48 (8 bit), ack [sensor code 'H'] [mixed: pid 8 wrote ISB_I2C_REG_ADDR]",
      "8 1 i2c-isb read dev 0x50 reg 0x05 -> 0x48 (8 bit), ack [sensor code 'H'] [mixed: pid 7 wrote ISB_I2C_CONTROL]",
      "20 3 i2c-iob read dev 0x03 reg 0x01 -> 0xaa (8 bit), ack",
      "5 15 flash erase sector 768 at 0x03000000 [mixed: pid 6 wrote ASMI_ADDR]",
      "6 16 flash erase sector 768 at 0x03000000 [mixed: pid 5 wrote ASMI_CMD]"}},
};

TEST(TraceDecode, synthetic_traces_decode_to_their_meaning)
{
    for (const DecodeCase& c : decode_cases) {
        SCOPED_TRACE(c.name);
        std::vector<qxsim::DecodedEntry> entries = qxsim::decode_trace_text(stamped(c.trace));
        EXPECT_EQ(summary(entries), c.decoded);
    }
}

TEST(TraceDecode, parsed_records_and_text_decode_alike_and_lines_carry_pid_and_time)
{
    const DecodeCase& c = *std::find_if(std::begin(decode_cases), std::end(decode_cases), [](const DecodeCase& d) {
        return std::string_view(d.name) == "i2c_writes_take_their_result_from_the_next_status_read";
    });
    std::string text = stamped(c.trace);
    std::vector<qxsim::TraceRecord> records;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
        qxsim::TraceRecord r;
        ASSERT_TRUE(qxsim::parse_trace_line(std::string_view(text).substr(start, nl - start), &r));
        records.push_back(r);
    }
    std::vector<qxsim::DecodedEntry> entries = qxsim::decode_trace(records);
    EXPECT_EQ(summary(entries), c.decoded);
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(qxsim::format_decoded(entries[1]),
              "9 1.000000001 i2c-isb  write dev 0x10 reg 0x00 data 0x4b00, ack [U12 VREF: load input, code 300]");
    EXPECT_EQ(entries[1].end_ns, 1000000005u);
    EXPECT_EQ(entries[1].records, 5u);
    EXPECT_FALSE(entries[1].failed);
    EXPECT_TRUE(entries[2].failed);
}

// ---- the real tools ----

// The decoded listing of the camera's trace, without pid and time, and the
// pids seen per block.
struct Listing {
    std::vector<std::string> lines;  // "<block> <text>"
    std::vector<int> pids;
};

Listing decoded(const SimCamera& sim)
{
    Result r = sim.cli({"trace", "show", "--decode"});
    EXPECT_TRUE(status_is(r, 0));
    Listing l;
    size_t start = 0;
    for (size_t nl; (nl = r.out.find('\n', start)) != std::string::npos; start = nl + 1) {
        std::string line = r.out.substr(start, nl - start);
        size_t a = line.find(' ');
        size_t b = line.find(' ', a + 1);
        l.pids.push_back(std::stoi(line.substr(0, a)));
        std::string rest = line.substr(b + 1);
        size_t block_end = rest.find(' ');  // the block is padded to 8 columns
        l.lines.push_back(rest.substr(0, block_end) + " " + rest.substr(rest.find_first_not_of(' ', block_end)));
    }
    return l;
}

std::string write_image(const SimCamera& sim, size_t bytes)
{
    std::string path = sim.dir() + "/image.bin";
    std::ofstream f(path, std::ios::binary);
    for (size_t i = 0; i < bytes; i++)
        f.put(static_cast<char>(i * 7 + 1));
    return path;
}

const std::vector<std::string> small_update_flash = {
    "flash 4-byte addressing",
    "flash read ID -> 0x21 EPCQ-L1024",
    "flash protect code 0x68: unlock, sectors 0..511 protected (0x0000000..0x1ffffff)",
    "flash erase sector 2047 at 0x07ff0000",
    "flash erase sector 512 at 0x02000000",
    "flash program 256 bytes at 0x02000000 (image data)",
    "flash program 256 bytes at 0x02000100 (image data)",
    "flash program 88 bytes at 0x02000200 (image data)",
    "flash read 256 bytes at 0x02000000 (image data)",
    "flash read 256 bytes at 0x02000100 (image data)",
    "flash read 88 bytes at 0x02000200 (image data)",
    "flash clear FIFOs",
    "flash program offset record at 0x07fffff0: 0x02000000 0x00000040 0xfdffffff (application image at 0x02000000)",
    "flash protect code 0x5c: lock, whole chip protected",
    "fpga reconfiguration from flash (ASMI_RECONFIG 0x10)",
};

TEST(TraceDecode, regdump_reads_the_sensor_code)
{
    SimCamera sim;
    ASSERT_TRUE(status_is(sim.run({"regdump", "-i", "-d", "0x50", "-r", "4", "-c", "4"}), 0));
    Listing l = decoded(sim);
    EXPECT_EQ(l.lines, (std::vector<std::string>{
                           "dev open /dev/qx_fpga",
                           "i2c-isb read dev 0x50 reg 0x04 -> 0x43 (8 bit), ack [sensor code 'C']",
                           "i2c-isb read dev 0x50 reg 0x05 -> 0x48 (8 bit), ack [sensor code 'H']",
                           "i2c-isb read dev 0x50 reg 0x06 -> 0x33 (8 bit), ack [sensor code '3']",
                           "i2c-isb read dev 0x50 reg 0x07 -> 0x58 (8 bit), ack [sensor code 'X']",
                           "dev close /dev/qx_fpga",
                       }));
    EXPECT_EQ(std::set<int>(l.pids.begin(), l.pids.end()).size(), 1u);
}

TEST(TraceDecode, dac_power_up_names_every_output)
{
    SimCamera sim;
    ASSERT_TRUE(status_is(sim.run({"dac", "-u"}), 0));
    Listing l = decoded(sim);
    ASSERT_EQ(l.lines.size(), 22u);  // open, bus check, 19 writes, close
    EXPECT_EQ(l.lines[21], "dev close /dev/qx_fpga");
    EXPECT_EQ(l.lines[1], "fpga read FPGA_STATUS -> 0x00000011 (I2C bus enabled)");
    EXPECT_EQ(l.lines[2], "i2c-isb write dev 0x10 reg 0x60 data 0x0000, ack [U12: internal reference]");
    EXPECT_EQ(l.lines[3], "i2c-isb write dev 0x10 reg 0x00 data 0x4b00, ack [U12 VREF: load input, code 300]");
    EXPECT_EQ(l.lines[16], "i2c-isb write dev 0x11 reg 0x04 data 0xce00, ack [U14 VRSTH: load input, code 824]");
    EXPECT_EQ(l.lines[20], "i2c-isb write dev 0x73 reg 0x1f data 0x0000, ack [U12+U14 all outputs: update from input]");
}

TEST(TraceDecode, biasset_triple_is_one_dac_write)
{
    SimCamera sim;
    ASSERT_TRUE(status_is(sim.run({"biasset", "VRSTH", "700"}), 0));
    Listing l = decoded(sim);
    std::vector<std::string> i2c;
    for (const std::string& line : l.lines)
        if (line.rfind("i2c-", 0) == 0)
            i2c.push_back(line.substr(0, line.find(" (proc lines of pid")));
    EXPECT_EQ(i2c, std::vector<std::string>{"i2c-isb write dev 0x11 reg 0x34 data 0xaf00, result not read "
                                            "[U14 VRSTH: load and update, code 700]"});
}

TEST(TraceDecode, update_of_a_small_image_lists_its_flash_operations)
{
    SimCamera sim;
    std::string image = write_image(sim, 600);
    ASSERT_TRUE(status_is(sim.run({"update", image}), 0));
    Listing l = decoded(sim);
    std::vector<std::string> expected = {"dev open /dev/qx_fpga"};
    expected.insert(expected.end(), small_update_flash.begin(), small_update_flash.end());
    EXPECT_EQ(l.lines, expected);
}

// A write's outcome is the next status read, also when the next tool makes
// it: biasset never reads it, regdump's wait for idle does. Neither entry is
// mixed: regdump wrote nothing into biasset's transaction.
TEST(TraceDecode, a_write_s_outcome_read_by_the_next_tool_is_named_and_mixes_nothing)
{
    SimCamera sim;
    ASSERT_TRUE(status_is(sim.run({"biasset", "VREF", "300"}), 0));
    ASSERT_TRUE(status_is(sim.run({"regdump", "-i", "-d", "0x50", "-r", "4", "-c", "1"}), 0));
    Listing l = decoded(sim);
    ASSERT_GE(l.lines.size(), 3u);
    const int regdump = l.pids.back();
    std::vector<std::string> i2c;
    for (const std::string& line : l.lines)
        if (line.rfind("i2c-", 0) == 0)
            i2c.push_back(line.substr(0, line.find(" (proc lines of pid")));
    EXPECT_EQ(i2c, (std::vector<std::string>{
                       fmt::format("i2c-isb write dev 0x10 reg 0x30 data 0x4b00, outcome read by pid {} [U12 VREF: "
                                   "load and update, code 300]",
                                   regdump),
                       "i2c-isb read dev 0x50 reg 0x04 -> 0x43 (8 bit), ack [sensor code 'C']"}));
}

// `trace show --decode FILE` reads a recording as the camera's own trace is
// read, with no camera at all, and adds how each process ended.
TEST(TraceDecode, a_recording_decodes_without_a_camera_as_the_camera_s_own_trace)
{
    SimCamera sim;
    const std::string file = sim.dir() + "/session.trace";
    ASSERT_TRUE(status_is(sim.cli({"record", "-o", file, "--sim", "--", "dac", "-u"}), 0));
    Listing own = decoded(sim);
    const std::vector<std::string> no_camera = {qxtest::qxsim_path(), "--state", sim.dir() + "/none", "trace",
                                                "show"};
    std::vector<std::string> argv = no_camera;
    argv.insert(argv.end(), {"--decode", file});
    Result r = sim.run(argv);
    ASSERT_TRUE(status_is(r, 0));
    EXPECT_TRUE(qxtest::stderr_is(r, ""));
    std::vector<std::string> recorded;
    size_t start = 0;
    for (size_t nl; (nl = r.out.find('\n', start)) != std::string::npos; start = nl + 1) {
        std::string line = r.out.substr(start, nl - start);
        std::string rest = line.substr(line.find(' ', line.find(' ') + 1) + 1);
        size_t block_end = rest.find(' ');
        recorded.push_back(rest.substr(0, block_end) + " " + rest.substr(rest.find_first_not_of(' ', block_end)));
    }
    std::vector<std::string> expected = own.lines;
    expected.push_back("exit exit status 0");
    expected.push_back("exit end of the recording: the recorded command's exit status 0");
    EXPECT_EQ(recorded, expected);
    // and the raw lines, registers named
    argv = no_camera;
    argv.push_back(file);
    r = sim.run(argv);
    ASSERT_TRUE(status_is(r, 0));
    EXPECT_TRUE(qxtest::stdout_starts_with(r, "# qxsim recording 2\n"));
    EXPECT_TRUE(qxtest::stdout_contains(r, " W ISB_I2C_CONTROL 0x00010120\n"));
}

// Update (flash) and regdump (ISB master) in one trace, their lines
// interleaved one by one: each tool's entries are its own, unmixed.
TEST(TraceDecode, two_tools_at_once_are_attributed_to_their_processes)
{
    SimCamera sim;
    std::string image = write_image(sim, 600);
    ASSERT_TRUE(status_is(sim.run({"update", image}), 0));
    std::vector<qxtest::TraceRecord> update_trace = sim.trace();
    sim.clear_trace();
    ASSERT_TRUE(status_is(sim.run({"regdump", "-i", "-d", "0x50", "-r", "0", "-c", "16"}), 0));
    std::vector<qxtest::TraceRecord> regdump_trace = sim.trace();
    std::string merged;
    for (size_t i = 0; i < std::max(update_trace.size(), regdump_trace.size()); i++) {
        if (i < update_trace.size())
            merged += update_trace[i].line + "\n";
        if (i < regdump_trace.size())
            merged += regdump_trace[i].line + "\n";
    }
    int update_pid = update_trace.front().pid;
    int regdump_pid = regdump_trace.front().pid;
    std::vector<std::string> flash, reads;
    for (const qxsim::DecodedEntry& e : qxsim::decode_trace_text(merged)) {
        EXPECT_FALSE(e.mixed) << e.text;
        if (e.kind == qxsim::DECODED_FLASH || e.kind == qxsim::DECODED_RECONFIG) {
            EXPECT_EQ(e.pid, update_pid) << e.text;
            flash.push_back(std::string(e.block) + " " + e.text);
        } else if (e.kind == qxsim::DECODED_I2C) {
            EXPECT_EQ(e.pid, regdump_pid) << e.text;
            reads.push_back(e.text);
        }
    }
    EXPECT_EQ(flash, small_update_flash);
    ASSERT_EQ(reads.size(), 16u);
    EXPECT_EQ(reads[4], "read dev 0x50 reg 0x04 -> 0x43 (8 bit), ack [sensor code 'C']");

    // And truly at the same time: whatever the interleaving, nothing is
    // attributed to the other tool.
    sim.clear_trace();
    std::string command = fmt::format("{} {} > /dev/null & {} -i -d 0x50 -r 0 -c 64 > /dev/null; wait",
                                      qxtest::tool_path("update"), image, qxtest::tool_path("regdump"));
    ASSERT_TRUE(status_is(sim.shell(command), 0));
    std::vector<qxsim::DecodedEntry> both = qxsim::decode_trace_text([&] {
        std::string t;
        for (const qxtest::TraceRecord& r : sim.trace())
            t += r.line + "\n";
        return t;
    }());
    std::set<int> flash_pids, i2c_pids;
    size_t i2c_reads = 0;
    for (const qxsim::DecodedEntry& e : both) {
        EXPECT_FALSE(e.mixed) << e.text;
        if (e.kind == qxsim::DECODED_FLASH)
            flash_pids.insert(e.pid);
        if (e.kind == qxsim::DECODED_I2C) {
            i2c_pids.insert(e.pid);
            i2c_reads += e.text.find(", ack") != std::string::npos;
        }
    }
    EXPECT_EQ(flash_pids.size(), 1u);
    EXPECT_EQ(i2c_pids.size(), 1u);
    EXPECT_NE(*flash_pids.begin(), *i2c_pids.begin());
    EXPECT_EQ(i2c_reads, 64u);
}

}  // namespace
