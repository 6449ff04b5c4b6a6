// The serial-flash controller driven register by register, as the update
// tool drives it.
#include "flash_rig.h"

#include <sstream>

using namespace flashtest;

TEST(AsmiController, decodes_its_ten_registers_only)
{
    FlashRig rig;
    for (uint32_t r : {0x1000u, 0x1004u, 0x1008u, 0x100Cu, 0x1010u, 0x1014u, 0x1018u, 0x101Cu, 0x1020u, 0x1040u})
        EXPECT_TRUE(rig.asmi.decodes(r)) << std::hex << r;
    for (uint32_t r : {0x0FFCu, 0x1002u, 0x1024u, 0x103Cu, 0x1044u})
        EXPECT_FALSE(rig.asmi.decodes(r)) << std::hex << r;
}

TEST(AsmiController, read_id_puts_the_device_id_in_status_bits_15_to_8)
{
    FlashRig rig;
    EXPECT_EQ(rig.status(), 0u) << "fresh controller: idle, no ID yet";
    rig.cmd(ASMI_READ_ID);
    EXPECT_EQ(rig.status(), 0x2100u);
    rig.flash.set_device_id(0x19);
    rig.cmd(ASMI_READ_ID);
    EXPECT_EQ(rig.status(), 0x1900u);
    std::string err;
    ASSERT_TRUE(rig.asmi.set_fault("device-id", {"0x7E"}, &err)) << err;
    rig.cmd(ASMI_READ_ID);
    EXPECT_EQ(rig.status(), 0x7E00u);
    rig.asmi.clear_faults();
    rig.cmd(ASMI_READ_ID);
    EXPECT_EQ(rig.status(), 0x1900u);
}

TEST(AsmiController, fifo_words_carry_the_first_byte_in_bits_7_to_0)
{
    FlashRig rig;
    rig.unlock();
    rig.write_block(0x2000000, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66});
    EXPECT_EQ(rig.bytes(0x2000000, 7), (std::vector<uint8_t>{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0xFF}))
        << "only ASMI_LENGTH bytes of the last word are programmed";
    EXPECT_EQ(rig.asmi.read(ASMI_WR_FIFO_LEVEL), 0u) << "ceil(6/4) = 2 words taken";
    std::vector<uint32_t> words = rig.read_words(0x2000000, 6);
    EXPECT_EQ(words, (std::vector<uint32_t>{0x44332211u, 0xFFFF6655u}));
}

TEST(AsmiController, fifo_levels_count_words_and_a_full_page_round_trips)
{
    FlashRig rig;
    rig.unlock();
    rig.erase(0x2000000);
    std::vector<uint8_t> page = pattern(256, 3);
    rig.asmi.write(ASMI_ADDR, 0x2000100);
    rig.asmi.write(ASMI_LENGTH, 256);
    for (int i = 0; i < 64; ++i) {
        uint32_t w = page[4 * i] | page[4 * i + 1] << 8 | page[4 * i + 2] << 16 | uint32_t(page[4 * i + 3]) << 24;
        rig.asmi.write(ASMI_WR_FIFO, w);
        EXPECT_EQ(rig.asmi.read(ASMI_WR_FIFO_LEVEL), uint32_t(i + 1));
    }
    rig.asmi.write(ASMI_WR_FIFO, 0xDEADBEEF);
    EXPECT_EQ(rig.asmi.read(ASMI_WR_FIFO_LEVEL), 64u) << "depth is 64 words; the 65th is lost";
    EXPECT_EQ(rig.asmi_state.wr_overflows, 1u);
    rig.cmd(ASMI_WRITE | ASMI_IMAGE_DATA);
    EXPECT_EQ(rig.status(), 0u);
    EXPECT_EQ(rig.bytes(0x2000100, 256), page);

    rig.asmi.write(ASMI_ADDR, 0x2000100);
    rig.asmi.write(ASMI_LENGTH, 256);
    rig.cmd(ASMI_READ | ASMI_IMAGE_DATA);
    EXPECT_EQ(rig.asmi.read(ASMI_RD_FIFO_LEVEL), 64u);
    uint32_t first = rig.asmi.read(ASMI_RD_FIFO);
    EXPECT_EQ(first, page[0] | page[1] << 8 | page[2] << 16 | uint32_t(page[3]) << 24);
    EXPECT_EQ(rig.asmi.read(ASMI_RD_FIFO_LEVEL), 63u);
    EXPECT_EQ(rig.asmi_state.image_writes, 1u);
    EXPECT_EQ(rig.asmi_state.image_reads, 1u);
}

TEST(AsmiController, write_with_too_few_words_fails_and_programs_nothing)
{
    FlashRig rig;
    rig.unlock();
    rig.stage(0x2000000, 16, {0});
    rig.cmd(ASMI_WRITE | ASMI_IMAGE_DATA);
    EXPECT_EQ(rig.status() & ASMI_STATUS_WRITE_ERR, ASMI_STATUS_WRITE_ERR);
    EXPECT_EQ(rig.store.byte(0x2000000), 0xFF);
    EXPECT_EQ(rig.asmi.read(ASMI_WR_FIFO_LEVEL), 0u);
}

TEST(AsmiController, extra_words_stay_in_the_write_fifo)
{
    FlashRig rig;
    rig.unlock();
    rig.stage(0x2000000, 4, {0x00000000, 0x12345678});
    rig.cmd(ASMI_WRITE);
    EXPECT_EQ(rig.asmi.read(ASMI_WR_FIFO_LEVEL), 1u);
    rig.asmi.write(ASMI_ADDR, 0x2000004);
    rig.cmd(ASMI_WRITE);
    EXPECT_EQ(rig.read_words(0x2000000, 8), (std::vector<uint32_t>{0x00000000u, 0x12345678u}));
}

TEST(AsmiController, error_bits_are_write_one_to_clear)
{
    FlashRig rig;
    rig.cmd(ASMI_4BYTE_MODE);
    rig.erase(0x0);                            // locked: erase error
    rig.write_block(0x2000000, {0, 0, 0, 0});  // locked: write error
    EXPECT_EQ(rig.status(), ASMI_STATUS_ERASE_ERR | ASMI_STATUS_WRITE_ERR);
    rig.asmi.write(ASMI_STATUS, 0x4);
    EXPECT_EQ(rig.status(), ASMI_STATUS_ERASE_ERR);
    rig.asmi.write(ASMI_STATUS, 0x1 | 0xFF00);
    EXPECT_EQ(rig.status(), ASMI_STATUS_ERASE_ERR) << "busy and ID bits are not writable";
    rig.asmi.write(ASMI_STATUS, 0x2);
    EXPECT_EQ(rig.status(), 0u);
}

TEST(AsmiController, protect_code_unlocks_the_application_region_only)
{
    FlashRig rig;
    rig.cmd(ASMI_4BYTE_MODE);
    rig.asmi.write(ASMI_PROTECT_CODE, 0x68);
    rig.cmd(ASMI_PROTECT);
    EXPECT_EQ(rig.flash.status_reg(), 0x68);

    rig.erase(0x1FF0000);
    EXPECT_EQ(rig.status() & ASMI_STATUS_ERASE_ERR, ASMI_STATUS_ERASE_ERR) << "last factory sector stays protected";
    rig.asmi.write(ASMI_STATUS, 0x2);
    rig.erase(0x2000000);
    rig.erase(0x7FF0000);
    EXPECT_EQ(rig.status(), 0u);
    rig.write_block(0x2000000, {0xA5, 0x5A, 0x00, 0x01});
    EXPECT_EQ(rig.status(), 0u);
    EXPECT_EQ(rig.bytes(0x2000000, 4), (std::vector<uint8_t>{0xA5, 0x5A, 0x00, 0x01}));

    rig.asmi.write(ASMI_PROTECT_CODE, 0x5C);
    rig.cmd(ASMI_PROTECT);
    rig.erase(0x2000000);
    EXPECT_EQ(rig.status() & ASMI_STATUS_ERASE_ERR, ASMI_STATUS_ERASE_ERR);
    EXPECT_EQ(rig.store.byte(0x2000000), 0xA5) << "locked flash keeps its data";
}

TEST(AsmiController, without_4byte_mode_high_addresses_wrap_into_the_factory_area)
{
    FlashRig rig;
    rig.asmi.write(ASMI_PROTECT_CODE, 0x68);
    rig.cmd(ASMI_PROTECT);
    // 0x2000000 with 24 address bits is 0x000000: protected.
    rig.erase(0x2000000);
    EXPECT_EQ(rig.status() & ASMI_STATUS_ERASE_ERR, ASMI_STATUS_ERASE_ERR);
    rig.asmi.write(ASMI_STATUS, 0x2);
    std::vector<uint32_t> words = rig.read_words(0x2000000, 8);
    ASSERT_EQ(words.size(), 2u);
    EXPECT_EQ(words[0], 0x49535851u) << "reads the factory header 'QXSI'";
    rig.cmd(ASMI_4BYTE_MODE);
    EXPECT_EQ(rig.read_words(0x2000000, 4), (std::vector<uint32_t>{0xFFFFFFFFu}));
}

TEST(AsmiController, clear_empties_both_fifos_and_the_following_zero_is_a_no_op)
{
    FlashRig rig;
    rig.cmd(ASMI_4BYTE_MODE);
    rig.asmi.write(ASMI_WR_FIFO, 1);
    rig.asmi.write(ASMI_WR_FIFO, 2);
    rig.asmi.write(ASMI_ADDR, 0);
    rig.asmi.write(ASMI_LENGTH, 40);
    rig.cmd(ASMI_READ);
    EXPECT_EQ(rig.asmi.read(ASMI_RD_FIFO_LEVEL), 10u);
    rig.asmi.write(ASMI_ADDR, 0x1FF0000);
    rig.cmd(ASMI_SECTOR_ERASE);  // refused: the error bit survives the clear
    rig.cmd(ASMI_CLEAR);
    rig.cmd(0);
    EXPECT_EQ(rig.asmi.read(ASMI_WR_FIFO_LEVEL), 0u);
    EXPECT_EQ(rig.asmi.read(ASMI_RD_FIFO_LEVEL), 0u);
    EXPECT_EQ(rig.status(), ASMI_STATUS_ERASE_ERR);
    EXPECT_TRUE(rig.flash.four_byte());
    EXPECT_EQ(rig.epcq.erases, 0u);
    EXPECT_EQ(rig.asmi_state.clears, 1u);
    EXPECT_EQ(rig.asmi.read(ASMI_RD_FIFO), 0u) << "an empty read FIFO pops 0";
    EXPECT_EQ(rig.asmi_state.rd_underflows, 1u);
}

TEST(AsmiController, unknown_commands_do_nothing)
{
    FlashRig rig;
    rig.unlock();
    rig.erase(0x2000000);
    rig.asmi.write(ASMI_ADDR, 0x2000000);
    for (uint32_t c : {0x004u, 0x080u, 0x018u, 0x200u, 0x800u})
        rig.cmd(c);
    EXPECT_EQ(rig.asmi_state.unknown_commands, 5u);
    EXPECT_EQ(rig.epcq.erases, 1u);
    EXPECT_EQ(rig.status(), 0u);
}

TEST(AsmiController, read_longer_than_the_fifo_keeps_the_first_64_words)
{
    FlashRig rig;
    rig.cmd(ASMI_4BYTE_MODE);
    rig.asmi.write(ASMI_ADDR, 0);
    rig.asmi.write(ASMI_LENGTH, 0x10000);
    rig.cmd(ASMI_READ);
    EXPECT_EQ(rig.asmi.read(ASMI_RD_FIFO_LEVEL), 64u);
    EXPECT_EQ(rig.asmi_state.rd_overflows, 0x4000u - 64);
    EXPECT_EQ(rig.asmi.read(ASMI_RD_FIFO), 0x49535851u);
}

TEST(AsmiController, stuck_busy_holds_the_busy_bit_and_drops_commands)
{
    FlashRig rig;
    std::string err;
    ASSERT_TRUE(rig.asmi.set_fault("stuck-busy", {}, &err)) << err;
    for (int i = 0; i < 200; ++i)
        ASSERT_EQ(rig.status() & ASMI_STATUS_BUSY, ASMI_STATUS_BUSY);
    rig.cmd(ASMI_4BYTE_MODE);
    EXPECT_FALSE(rig.flash.four_byte());
    EXPECT_EQ(rig.asmi_state.ignored_busy, 1u);
    EXPECT_EQ(rig.asmi.fault_state("stuck-busy")->fired, 200u);
    rig.asmi.clear_faults();
    EXPECT_EQ(rig.status(), 0u);
}

TEST(AsmiController, busy_reads_fault_shows_busy_for_k_reads_after_each_command)
{
    FlashRig rig;
    std::string err;
    ASSERT_TRUE(rig.asmi.set_fault("busy-reads", {"3"}, &err)) << err;
    EXPECT_EQ(rig.status(), 0u) << "no command yet";
    rig.cmd(ASMI_4BYTE_MODE);
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(rig.status() & 0xFF, 1u);
        EXPECT_EQ(rig.status() & 0xFF, 1u);
        EXPECT_EQ(rig.status() & 0xFF, 1u);
        EXPECT_EQ(rig.status() & 0xFF, 0u);
        EXPECT_EQ(rig.status() & 0xFF, 0u);
        rig.cmd(ASMI_READ_ID);
    }
    EXPECT_EQ(rig.asmi.fault_state("busy")->fired, 6u);
    rig.cmd(ASMI_READ_ID);  // written while busy: lost
    EXPECT_EQ(rig.asmi_state.ignored_busy, 1u);
}

TEST(AsmiController, erase_error_fault_fails_one_sector_and_changes_nothing)
{
    FlashRig rig;
    rig.unlock();
    rig.write_block(0x2010000, {0, 0, 0, 0});
    rig.write_block(0x2020000, {0, 0, 0, 0});
    std::string err;
    ASSERT_TRUE(rig.asmi.set_fault("erase-error", {"0x2010040"}, &err)) << err;
    rig.erase(0x2010000);
    EXPECT_EQ(rig.status(), ASMI_STATUS_ERASE_ERR);
    EXPECT_EQ(rig.store.byte(0x2010000), 0x00);
    rig.asmi.write(ASMI_STATUS, 0x2);
    rig.erase(0x2020000);
    EXPECT_EQ(rig.status(), 0u);
    EXPECT_EQ(rig.store.byte(0x2020000), 0xFF);
    EXPECT_EQ(rig.asmi.fault_state("erase-error")->fired, 1u);
}

TEST(AsmiController, write_error_fault_fails_the_page_holding_the_address)
{
    FlashRig rig;
    rig.unlock();
    std::string err;
    ASSERT_TRUE(rig.asmi.set_fault("write-error", {"0x20001F0"}, &err)) << err;
    rig.write_block(0x2000000, std::vector<uint8_t>(256, 0));
    EXPECT_EQ(rig.status(), 0u);
    rig.write_block(0x2000100, std::vector<uint8_t>(256, 0));
    EXPECT_EQ(rig.status(), ASMI_STATUS_WRITE_ERR);
    EXPECT_EQ(rig.store.byte(0x2000100), 0xFF);
    EXPECT_EQ(rig.store.byte(0x20000FF), 0x00);
}

TEST(AsmiController, corrupt_read_fault_flips_one_word_of_the_read_back_only)
{
    FlashRig rig;
    rig.unlock();
    rig.write_block(0x2000000, std::vector<uint8_t>(256, 0x5A));
    std::string err;
    ASSERT_TRUE(rig.asmi.set_fault("corrupt-read", {"0x2000086", "0x80000000"}, &err)) << err;
    std::vector<uint32_t> words = rig.read_words(0x2000000, 256);
    ASSERT_EQ(words.size(), 64u);
    for (uint32_t i = 0; i < 64; ++i)
        EXPECT_EQ(words[i], i == 0x21 ? 0xDA5A5A5Au : 0x5A5A5A5Au) << "word " << i;
    EXPECT_EQ(rig.store.byte(0x2000087), 0x5A) << "the array itself is intact";
    EXPECT_EQ(rig.read_words(0x2000100, 256)[0x21], 0xFFFFFFFFu) << "other blocks read clean";
}

TEST(AsmiController, fifo_level_fault_misreports_every_or_only_the_nth_reading)
{
    FlashRig rig;
    std::string err;
    ASSERT_TRUE(rig.asmi.set_fault("fifo-level", {"wr", "2"}, &err)) << err;
    EXPECT_EQ(rig.asmi.read(ASMI_WR_FIFO_LEVEL), 2u);
    rig.asmi.write(ASMI_WR_FIFO, 0);
    EXPECT_EQ(rig.asmi.read(ASMI_WR_FIFO_LEVEL), 3u);
    EXPECT_EQ(rig.asmi.read(ASMI_RD_FIFO_LEVEL), 0u);

    ASSERT_TRUE(rig.asmi.set_fault("fifo-level", {"rd", "-1", "2"}, &err)) << err;
    rig.asmi.write(ASMI_ADDR, 0);
    rig.asmi.write(ASMI_LENGTH, 8);
    rig.cmd(ASMI_READ);
    EXPECT_EQ(rig.asmi.read(ASMI_RD_FIFO_LEVEL), 2u);
    EXPECT_EQ(rig.asmi.read(ASMI_RD_FIFO_LEVEL), 1u) << "second reading is one short";
    EXPECT_EQ(rig.asmi.read(ASMI_RD_FIFO_LEVEL), 2u);
    EXPECT_EQ(rig.asmi.fault_state("fifo-level", 1)->fired, 1u);

    EXPECT_FALSE(rig.asmi.set_fault("fifo-level", {"xx", "1"}, &err));
    EXPECT_FALSE(rig.asmi.set_fault("fifo-level", {"wr", "0"}, &err));
    EXPECT_FALSE(rig.asmi.set_fault("busy-reads", {"-3"}, &err));
    EXPECT_FALSE(rig.asmi.set_fault("device-id", {"0x100"}, &err));
}

TEST(AsmiController, datasheet_timing_keeps_busy_while_the_chip_works)
{
    FlashRig rig;
    rig.unlock();
    rig.flash.set_timing(EPCQ_TIMING_DATASHEET, 60000000, 60000000, 0);
    rig.erase(0x2000000);
    EXPECT_EQ(rig.status() & ASMI_STATUS_BUSY, ASMI_STATUS_BUSY) << "a one-minute erase is still running";
    rig.erase(0x2010000);
    EXPECT_EQ(rig.asmi_state.ignored_busy, 1u);
    rig.flash.set_timing(EPCQ_TIMING_INSTANT, EPCQ_ERASE_US, EPCQ_PROGRAM_US, EPCQ_STATUS_US);
    EXPECT_EQ(rig.status(), 0u);
}

TEST(AsmiController, show_describes_controller_chip_boot_and_faults)
{
    FlashRig rig;
    std::string err;
    ASSERT_TRUE(rig.asmi.set_fault("busy-reads", {"4"}, &err));
    ASSERT_TRUE(rig.asmi.set_fault("torn-erase", {"3", "100"}, &err));
    std::ostringstream out;
    rig.asmi.describe(out);
    const std::string s = out.str();
    EXPECT_NE(s.find("chip EPCQ-L1024 (ID 0x21), 128 MiB, 3-byte addressing, timing instant"), std::string::npos) << s;
    EXPECT_NE(s.find("protection 0x5C: sectors 0..2047 (0x0000000..0x7FFFFFF) protected"), std::string::npos) << s;
    EXPECT_NE(s.find("boot 1 (power-on): factory image at 0x0000000"), std::string::npos) << s;
    EXPECT_NE(s.find("fault busy 4: set, fired 0 time(s)"), std::string::npos) << s;
    EXPECT_NE(s.find("fault torn-erase 3 100: set, fired 0 time(s)"), std::string::npos) << s;
    std::ostringstream faults;
    rig.asmi.list_faults(faults);
    EXPECT_NE(faults.str().find("torn-program N BYTES"), std::string::npos);
    EXPECT_NE(faults.str().find("stuck-busy"), std::string::npos);
}
