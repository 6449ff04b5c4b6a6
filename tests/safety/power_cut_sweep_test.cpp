// The power-cut sweep (`qxsim sweep power-cut`) on small images: a sampled
// sweep of update, the unsafe writer's window found exactly, a run that
// fails, and the kill mode finding update safe and the unsafe writer not.
// The full sweeps and the agreement with real cuts are in the long
// campaign (power_cut_campaign.cpp).
#include "bench_support.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

namespace {

using qxtest::Result;
using qxtest::SimCamera;
using qxtest::SimOptions;
using safety::DiskImage;

// Two application sectors and a short last page.
const qxsim::MadeUpImage sweep_image_a = {"", "qx_sweep_a", 70000, 0x5EE90001};
const qxsim::MadeUpImage sweep_image_b = {"", "qx_sweep_b", 70000, 0x5EE90002};

uint64_t accesses_of(SimCamera& sim)
{
    auto lock = sim.model().lock();
    return sim.model().state().core.accesses;
}

// A camera running image A, and image B on disk to update to.
struct SweepBench {
    SimCamera sim{SimOptions{"LUX13HS-C", false}};
    DiskImage a = safety::make_disk_image(sim.dir(), sweep_image_a);
    DiskImage b = safety::make_disk_image(sim.dir(), sweep_image_b);

    SweepBench() { EXPECT_TRUE(qxtest::status_is(sim.run({"update", a.path}), 0)); }

    Result sweep(const std::vector<std::string>& options, const std::vector<std::string>& tool)
    {
        std::vector<std::string> args = {"sweep", "power-cut"};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back("--");
        args.insert(args.end(), tool.begin(), tool.end());
        return sim.cli(args);
    }
};

}  // namespace

TEST(PowerCutSweep, sampled_sweep_runs_instant_on_a_copy_and_leaves_the_camera_as_it_was)
{
    REQUIRE_TOOL("update");
    SweepBench bench;
    SimCamera& sim = bench.sim;
    EXPECT_TRUE(qxtest::status_is(sim.cli({"flash", "timing", "datasheet"}), 0));
    auto camera = [&] { return sim.show() + sim.cli({"flash", "checksum", "0x2000000", "0x20000"}).out; };
    const std::string before = camera();

    Result r = bench.sweep({"--torn", "--sample", "300", "--seed", "7"}, {"update", bench.b.path});
    EXPECT_TRUE(qxtest::status_is(r, 0)) << r.out << r.err;
    EXPECT_TRUE(qxtest::stdout_starts_with(
        r, "sweep power-cut of 'update " + bench.b.path + "' on a copy of " + sim.dir() +
               ", instant flash timing (the camera's is datasheet timing; cut states do not depend on it), no "
               "faults, torn operations too\n"));
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m,
                                  std::regex("uncut run: exit status 0, ([0-9]+) accesses in [0-9.]+ s; flash "
                                             "changes: 3 sector erases, 275 page programs, 2 protection writes\n")))
        << r.out;
    const uint64_t run_accesses = std::stoull(m[1]);
    ASSERT_TRUE(std::regex_search(
        r.out, m,
        std::regex("([0-9]+) cut points judged \\(300 between accesses, ([0-9]+) inside flash operations\\) at 300 "
                   "sampled accesses \\(seed 7\\): old application ([0-9]+), factory ([0-9]+), new application "
                   "([0-9]+), bricked 0\n")))
        << r.out;
    EXPECT_EQ(std::stoull(m[1]), 300 + std::stoull(m[2]));
    EXPECT_EQ(std::stoull(m[3]) + std::stoull(m[4]) + std::stoull(m[5]), std::stoull(m[1]));
    EXPECT_TRUE(qxtest::stdout_contains(r, "factory region unchanged at every point\n"));
    EXPECT_EQ(camera(), before) << "the sweep changed the camera";

    // The same update run here with instant timing makes as many accesses as
    // the sweep's uncut run: it did not poll the datasheet times.
    EXPECT_TRUE(qxtest::status_is(sim.cli({"flash", "timing", "instant"}), 0));
    const uint64_t first = accesses_of(sim);
    EXPECT_TRUE(qxtest::status_is(sim.run({"update", bench.b.path}), 0));
    EXPECT_EQ(accesses_of(sim) - first, run_accesses);
}

// The writer programs the offset record first: every cut after the record's
// command and up to its last page's command leaves a valid record naming a
// partial image, and so does every torn image page; a torn record is just
// not valid (factory).
TEST(PowerCutSweep, unsafe_writer_is_bricked_exactly_from_its_offset_record_to_its_last_page)
{
    SweepBench bench;
    SimCamera& sim = bench.sim;
    Result r = bench.sweep({"--torn"}, {UNSAFE_WRITER_PATH, bench.b.path});
    EXPECT_TRUE(qxtest::status_is(r, 1)) << r.out.substr(0, 2000) << r.err;

    // Where the record and the pages went, from a run of the writer on the
    // camera the sweep left as it was.
    sim.cli({"trace", "on"});
    sim.clear_trace();
    ASSERT_TRUE(qxtest::status_is(sim.run({UNSAFE_WRITER_PATH, bench.b.path}), 0));
    std::vector<qxtest::TraceRecord> t = qxtest::register_traffic(sim.trace());
    uint64_t record = 0, last_page = 0, pages = 0;
    for (size_t i = 0; i < t.size(); i++) {
        if (t[i].kind != 'W' || t[i].reg != qxsim::ASMI_CMD)
            continue;
        if (t[i].value == qxsim::ASMI_WRITE)
            record = i + 1;
        if (t[i].value == (qxsim::ASMI_WRITE | qxsim::ASMI_IMAGE_DATA)) {
            last_page = i + 1;
            pages++;
        }
    }
    ASSERT_TRUE(record > 0 && last_page > record);
    ASSERT_EQ(pages, (bench.b.bytes.size() + 255) / 256);

    std::vector<uint64_t> between, inside, window;
    safety::bricked_accesses(r.out, &between, &inside);
    for (uint64_t k = record + 1; k <= last_page; k++)
        window.push_back(k);
    EXPECT_EQ(between, window) << "bricked between accesses: " << between.size() << " points from "
                               << (between.empty() ? 0 : between.front()) << ", expected " << window.size() << " from "
                               << record + 1;
    // Four cuts inside each image page (the last one too: it is longer than
    // three bytes), none inside the record.
    EXPECT_EQ(inside.size(), 4 * pages);
    EXPECT_FALSE(qxtest::stdout_contains(r, "page program 1 cut"));
    EXPECT_TRUE(qxtest::stdout_contains(r, ", bricked " + std::to_string(window.size() + 4 * pages) + "\n"));
    // Named as the decoded trace names the operations.
    EXPECT_TRUE(qxtest::stdout_contains(r, "bricked at access " + std::to_string(record + 1) +
                                               ": flash program offset record at 0x07fffff0: 0x02000000 0x00000040 "
                                               "0xfdffffff (application image at 0x02000000)\n"));
    char last[128];
    std::snprintf(last, sizeof last, "bricked at access %llu: flash program %zu bytes at 0x%08llx (image data)\n",
                  static_cast<unsigned long long>(last_page), bench.b.bytes.size() % 256,
                  static_cast<unsigned long long>(0x2000000 + 256 * (pages - 1)));
    EXPECT_TRUE(qxtest::stdout_contains(r, last));
}

TEST(PowerCutSweep, an_uncut_run_that_fails_is_reported_and_nothing_judged)
{
    SimCamera sim(SimOptions{"LUX13HS-C", false});
    Result r = sim.cli({"sweep", "power-cut", "--", "update", sim.dir() + "/missing.rbf"});
    EXPECT_TRUE(qxtest::status_is(r, 2));
    EXPECT_TRUE(qxtest::stdout_contains(r, "the uncut run failed (exit status 1, "));
    EXPECT_TRUE(qxtest::stdout_contains(r, "nothing judged\nits output:\nUnable to open '" + sim.dir() +
                                               "/missing.rbf' [No such file or directory]\n"));
    EXPECT_FALSE(qxtest::stdout_contains(r, "cut points judged"));
}

// A killed update leaves FIFO words and an unlocked flash that the next run
// clears and finishes; the unsafe writer, which never clears the write FIFO,
// programs a killed run's leftover words into its next page.
TEST(PowerCutSweep, kill_mode_finds_update_rerunnable_and_the_unsafe_writer_not)
{
    REQUIRE_TOOL("update");
    SweepBench bench;
    Result r = bench.sweep({"--kill", "--sample", "12"}, {"update", bench.b.path});
    EXPECT_TRUE(qxtest::status_is(r, 0)) << r.out << r.err;
    EXPECT_TRUE(
        std::regex_search(r.out, std::regex("\n12 kill points drawn of [0-9]+ accesses \\(seed 1\\): second run "
                                            "succeeded 12, failed 0\n")))
        << r.out;

    r = bench.sweep({"--kill", "--sample", "8"}, {UNSAFE_WRITER_PATH, bench.b.path});
    EXPECT_TRUE(qxtest::status_is(r, 1)) << r.out << r.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, std::regex("second run succeeded ([0-9]+), failed ([1-8])\n"))) << r.out;
    EXPECT_TRUE(
        std::regex_search(r.out, std::regex("failed after a kill at access [0-9]+ \\(flash program 256 bytes at "
                                            "0x020[0-9a-f]{5} \\(image data\\)\\): after the second run: "
                                            "configured the factory image")))
        << r.out;
}
