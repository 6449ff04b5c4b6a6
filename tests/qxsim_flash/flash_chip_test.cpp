// The EPCQ-L chip on its own: NOR rules, protection, addressing, torn
// operations, persistence of flash.bin.
#include "flash_rig.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace flashtest;

namespace {

uint8_t sr(bool bp3, bool tb, unsigned bp210)
{
    return static_cast<uint8_t>((bp3 ? 0x40 : 0) | (tb ? 0x20 : 0) | (bp210 << 2));
}

}  // namespace

TEST(EpcqFlash, programming_only_clears_bits_and_erase_sets_ff)
{
    FlashRig rig;
    rig.flash.write_status(0);
    rig.flash.enter_4byte();
    const uint32_t a = 0x3000000;
    EXPECT_EQ(rig.bytes(a, 4), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));

    const uint8_t first[4] = {0xF0, 0x0F, 0xAA, 0xFF};
    const uint8_t second[4] = {0x3C, 0xFF, 0x55, 0x00};
    ASSERT_EQ(rig.flash.page_program(a, first, 4), FlashResult::ok);
    EXPECT_EQ(rig.epcq.unerased_programs, 0u);
    ASSERT_EQ(rig.flash.page_program(a, second, 4), FlashResult::ok);
    EXPECT_EQ(rig.bytes(a, 4), (std::vector<uint8_t>{0x30, 0x0F, 0x00, 0x00}));
    EXPECT_EQ(rig.epcq.unerased_programs, 1u) << "second program tried to set cleared bits";

    ASSERT_EQ(rig.flash.sector_erase(a + 0x1234), FlashResult::ok);
    EXPECT_EQ(rig.bytes(a, 4), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(rig.store.programmed_end(a, a + EPCQ_SECTOR_SIZE), a);
}

TEST(EpcqFlash, erase_clears_exactly_one_sector)
{
    FlashRig rig;
    rig.flash.write_status(0);
    rig.flash.enter_4byte();
    std::vector<uint8_t> zeros(EPCQ_PAGE_SIZE, 0x00);
    for (uint32_t a : {0x2FF0000u + 0xFF00u, 0x3000000u, 0x300FF00u, 0x3010000u})
        ASSERT_EQ(rig.flash.page_program(a, zeros.data(), EPCQ_PAGE_SIZE), FlashResult::ok);
    ASSERT_EQ(rig.flash.sector_erase(0x3000000), FlashResult::ok);
    EXPECT_EQ(rig.store.byte(0x2FFFFFF), 0x00);
    EXPECT_EQ(rig.store.byte(0x3000000), 0xFF);
    EXPECT_EQ(rig.store.byte(0x300FFFF), 0xFF);
    EXPECT_EQ(rig.store.byte(0x3010000), 0x00);
}

TEST(EpcqFlash, protection_table_follows_bp_bits_and_tb)
{
    FlashRig rig;
    struct Case {
        uint8_t code;
        uint32_t first;
        uint32_t sectors;
    };
    const Case cases[] = {
        {0x00, 0, 0},
        {0x68, 0, 512},   // BP3, BP1, bottom: the lowest 32 MiB
        {0x5C, 0, 2048},  // BP3..BP0, top: everything
        {sr(false, false, 1), 2047, 1},
        {sr(false, true, 1), 0, 1},
        {sr(false, false, 7), 2048 - 64, 64},
        {sr(true, false, 3), 2048 - 1024, 1024},
        {sr(true, true, 4), 0, 2048},
        {0x20, 0, 0},  // TB alone protects nothing
    };
    for (const Case& c : cases) {
        rig.flash.write_status(c.code);
        ProtectedRange r = rig.flash.protected_range();
        EXPECT_EQ(r.sectors, c.sectors) << "code 0x" << std::hex << int(c.code);
        if (c.sectors) {
            EXPECT_EQ(r.first_sector, c.first) << "code 0x" << std::hex << int(c.code);
        }
    }
    rig.flash.write_status(0xFF);
    EXPECT_EQ(rig.flash.status_reg(), 0x7C) << "only BP3, TB and BP2..BP0 are kept";
}

TEST(EpcqFlash, protected_sector_refuses_erase_and_program_and_the_rest_still_works)
{
    FlashRig rig;
    rig.flash.enter_4byte();
    rig.flash.write_status(0x68);
    const std::vector<uint8_t> before = rig.bytes(0x1FF0000, 64);
    const uint8_t zeros[16] = {};

    EXPECT_EQ(rig.flash.sector_erase(0x1FF0000), FlashResult::refused);
    EXPECT_EQ(rig.flash.page_program(0x1FFFF00, zeros, 16), FlashResult::refused);
    EXPECT_EQ(rig.flash.sector_erase(0), FlashResult::refused);
    EXPECT_EQ(rig.bytes(0x1FF0000, 64), before);
    EXPECT_EQ(rig.store.byte(0), 'Q') << "factory image untouched";
    EXPECT_EQ(rig.epcq.refused_erases, 2u);
    EXPECT_EQ(rig.epcq.refused_programs, 1u);

    EXPECT_EQ(rig.flash.page_program(0x2000000, zeros, 16), FlashResult::ok);
    EXPECT_EQ(rig.store.byte(0x200000F), 0x00);
    EXPECT_EQ(rig.flash.sector_erase(0x2000000), FlashResult::ok);
    EXPECT_EQ(rig.flash.sector_erase(0x7FF0000), FlashResult::ok);
    EXPECT_EQ(rig.store.byte(0x200000F), 0xFF);

    rig.flash.write_status(0x5C);
    EXPECT_EQ(rig.flash.page_program(0x2000000, zeros, 16), FlashResult::refused);
    EXPECT_EQ(rig.store.byte(0x2000000), 0xFF);
}

TEST(EpcqFlash, page_program_wraps_within_its_page)
{
    FlashRig rig;
    rig.flash.write_status(0);
    rig.flash.enter_4byte();
    std::vector<uint8_t> data = pattern(16, 1);
    ASSERT_EQ(rig.flash.page_program(0x20000F8, data.data(), 16), FlashResult::ok);
    EXPECT_EQ(rig.bytes(0x20000F8, 8), std::vector<uint8_t>(data.begin(), data.begin() + 8));
    EXPECT_EQ(rig.bytes(0x2000000, 8), std::vector<uint8_t>(data.begin() + 8, data.end()));
    EXPECT_EQ(rig.store.byte(0x2000100), 0xFF) << "the next page is not touched";
}

TEST(EpcqFlash, three_byte_mode_sends_only_24_address_bits)
{
    FlashRig rig;
    rig.flash.write_status(0);
    EXPECT_FALSE(rig.flash.four_byte());
    EXPECT_EQ(rig.flash.decode(0x2000010), 0x0000010u);
    EXPECT_EQ(rig.flash.decode(0x1FFFFFF), 0x0FFFFFFu);
    rig.flash.enter_4byte();
    EXPECT_EQ(rig.flash.decode(0x2000010), 0x2000010u);
    EXPECT_EQ(rig.flash.decode(0x8000010), 0x0000010u) << "128 MiB chip wraps at its capacity";
    rig.flash.power_on();
    EXPECT_FALSE(rig.flash.four_byte()) << "address mode is volatile";
    EXPECT_EQ(rig.flash.status_reg(), 0) << "protection bits are not";
}

TEST(EpcqFlash, smaller_parts_wrap_at_their_capacity)
{
    FlashRig rig;
    rig.flash.enter_4byte();
    rig.flash.set_device_id(0x20);  // EPCQ-L512
    EXPECT_EQ(rig.flash.capacity(), 64u << 20);
    EXPECT_EQ(rig.flash.decode(0x7FFFFF0), 0x3FFFFF0u);
    rig.flash.write_status(0x68);
    EXPECT_EQ(rig.flash.protected_range().sectors, 512u) << "half of an EPCQ-L512";
    rig.flash.set_device_id(0x42);
    EXPECT_EQ(rig.flash.capacity(), 128u << 20);
    EXPECT_STREQ(epcq_part(0x19)->name, "EPCQ-L256");
    EXPECT_EQ(epcq_part(0x42), nullptr);
}

TEST(EpcqFlash, torn_program_leaves_a_partly_programmed_page)
{
    FlashRig rig;
    rig.flash.write_status(0);
    rig.flash.enter_4byte();
    std::string err;
    ASSERT_TRUE(rig.asmi.set_fault("torn-program", {"2", "100"}, &err)) << err;
    std::vector<uint8_t> zeros(256, 0);
    rig.flash.page_program(0x2000000, zeros.data(), 256);
    EXPECT_EQ(rig.power_cuts, 0);
    rig.flash.page_program(0x2000100, zeros.data(), 256);
    EXPECT_EQ(rig.power_cuts, 1);
    EXPECT_EQ(rig.store.programmed_end(0x2000100, 0x2000200), 0x2000100u + 100);
    EXPECT_EQ(rig.store.byte(0x2000100 + 99), 0x00);
    EXPECT_EQ(rig.store.byte(0x2000100 + 100), 0xFF);
    EXPECT_EQ(rig.asmi.fault_state("torn-program")->fired, 1u);
    rig.flash.page_program(0x2000200, zeros.data(), 256);
    EXPECT_EQ(rig.power_cuts, 1) << "fires once";
}

TEST(EpcqFlash, torn_erase_leaves_a_partly_erased_sector)
{
    FlashRig rig;
    rig.flash.write_status(0);
    rig.flash.enter_4byte();
    std::vector<uint8_t> zeros(256, 0);
    for (uint32_t a = 0x2000000; a < 0x2010000; a += 256)
        rig.flash.page_program(a, zeros.data(), 256);
    std::string err;
    ASSERT_TRUE(rig.asmi.set_fault("torn-erase", {"1", "0x8000"}, &err)) << err;
    rig.flash.sector_erase(0x2000000);
    EXPECT_EQ(rig.power_cuts, 1);
    EXPECT_EQ(rig.store.byte(0x2007FFF), 0xFF);
    EXPECT_EQ(rig.store.byte(0x2008000), 0x00);
}

TEST(EpcqFlash, fault_arguments_are_checked)
{
    FlashRig rig;
    std::string err;
    EXPECT_FALSE(rig.asmi.set_fault("torn-erase", {"0", "5"}, &err));
    EXPECT_EQ(err, "torn-erase takes N (1 = next operation) and a byte count");
    EXPECT_FALSE(rig.asmi.set_fault("erase-error", {"12x"}, &err));
    EXPECT_EQ(err, "erase-error takes one address");
    EXPECT_FALSE(rig.asmi.set_fault("write-error", {}, &err));
    EXPECT_FALSE(rig.asmi.set_fault("no-such-fault", {}, &err));
    EXPECT_EQ(err, "unknown fault 'no-such-fault' of asmi (qxsim fault list shows them)");
}

TEST(FlashStore, contents_persist_across_processes_without_writing_the_whole_array)
{
    qxtest::TempDir tmp;
    const std::string path = tmp.path() + "/flash.bin";
    const std::vector<uint8_t> data = pattern(256, 7);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        FlashStore s;
        std::string err;
        if (!s.open(path, &err, true))
            _exit(2);
        s.program(0x4000000, data.data(), 256);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    FlashStore s;
    std::string err;
    ASSERT_TRUE(s.open(path, &err)) << err;
    std::vector<uint8_t> back(256);
    s.read(0x4000000, back.data(), 256);
    EXPECT_EQ(back, data);
    EXPECT_EQ(s.byte(0x3FFFFFF), 0xFF);
    EXPECT_EQ(s.programmed_end(0, FlashStore::kSize), 0x4000100u);

    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, FlashStore::kSize);
    EXPECT_LT(st.st_blocks * 512, 1 << 20) << "holes stay holes";
}

// A camera's array is made once, at creation: an existing camera whose
// flash.bin went missing, shrank or is something else is refused with the
// file named, never made anew as erased flash; one that changes while
// mapped is told by intact().
TEST(FlashStore, a_missing_short_or_odd_file_is_refused_and_a_changed_one_told)
{
    qxtest::TempDir tmp;
    const std::string path = tmp.path() + "/flash.bin";
    std::string err;
    {
        FlashStore s;
        EXPECT_FALSE(s.open(path, &err));
        EXPECT_EQ(err, path + " is missing: the flash array is lost");
        EXPECT_NE(::access(path.c_str(), F_OK), 0) << "not made anew";
    }
    FlashStore s;
    ASSERT_TRUE(s.open(path, &err, true)) << err;
    ASSERT_TRUE(s.intact(path, &err)) << err;
    ASSERT_EQ(::truncate(path.c_str(), 4096), 0);
    EXPECT_FALSE(s.intact(path, &err));
    EXPECT_EQ(err, path + " is 4096 bytes, not the flash's 134217728: the array was cut short or replaced");
    {
        FlashStore again;
        EXPECT_FALSE(again.open(path, &err));
        EXPECT_EQ(err, path + " is 4096 bytes, not the flash's 134217728: the array was cut short or replaced");
    }
    ASSERT_EQ(::unlink(path.c_str()), 0);
    EXPECT_FALSE(s.intact(path, &err));
    EXPECT_EQ(err, path + " is missing: the flash array is lost");
    ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
    EXPECT_FALSE(s.intact(path, &err));
    EXPECT_EQ(err, path + " was replaced while in use");
    FlashStore dir;
    EXPECT_FALSE(dir.open(path, &err));
    EXPECT_NE(err.find(path), std::string::npos) << err;
}
