// Power cuts across whole update runs: the camera is killed at a chosen
// register access (or inside a page program or sector erase), power-cycled,
// and must boot a complete image, never a partial one, with the flash's
// non-volatile protection as the cut left it (0x68 between the unlock and
// the lock, the factory region protected throughout); a second,
// uninterrupted update must then bring up the new image.
//
// Two made-up images of the same size alternate, so every cut lands on a
// camera that already runs the other one (the first on a factory-only
// camera): the previous image, the factory image and the new one are all
// possible good outcomes, and which one is right follows from where the cut
// fell.
#include "bench_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using qxtest::Result;
using qxtest::SimCamera;
using qxtest::SimOptions;
using safety::Booted;
using safety::DiskImage;

// 1 MiB of payload plus the 72-byte container (1048648 bytes): seventeen
// application sectors, the last one barely used, 4096 whole blocks and one
// short one. Smaller under the sanitizers, where every register access
// costs far more.
#ifdef QX_SAFETY_SMALL_IMAGE
constexpr uint32_t PAYLOAD = 128 * 1024;
#else
constexpr uint32_t PAYLOAD = 1024 * 1024;
#endif

const qxsim::MadeUpImage cut_image_a = {"", "qx_cut_a", PAYLOAD, 0x5AFE0001};
const qxsim::MadeUpImage cut_image_b = {"", "qx_cut_b", PAYLOAD, 0x5AFE0002};

// Phases of an uncut run, as ranges of register-access numbers: a cut at
// access N kills the tool before access N is carried out.
struct Phase {
    std::string name;
    uint64_t first;  // first cut point of the phase
    uint64_t last;   // last one
    unsigned points; // how many cut points to spread over it (0: all)
};

struct Tally {
    unsigned tried = 0, booted_new = 0, booted_previous = 0, booted_factory = 0, bricked = 0;
};

class Campaign {
public:
    Campaign() : sim_(SimOptions{"LUX13HS-C", false})
    {
        a_ = safety::make_disk_image(sim_.dir(), cut_image_a);
        b_ = safety::make_disk_image(sim_.dir(), cut_image_b);
        factory_ = qxsim::make_image(qxsim::factory_image);
        factory_crc_ = qxsim::crc32(factory_.data(), factory_.size());
    }

    SimCamera& sim() { return sim_; }
    const DiskImage& image(Booted b) const { return b == Booted::image_a ? a_ : b_; }
    Booted installed() const { return installed_; }
    Booted next() const { return installed_ == Booted::image_a ? Booted::image_b : Booted::image_a; }
    // An update of `b` ran to its end outside the campaign's own steps.
    void adopt(Booted b) { installed_ = b; }

    Booted booted() { return safety::classify_boot(sim_, a_, b_, factory_crc_, uint32_t(factory_.size())); }

    // One uncut update with the trace on; the phases of the run.
    std::vector<Phase> phases()
    {
        sim_.cli({"trace", "on"});
        sim_.clear_trace();
        Result r = sim_.run({"update", image(next()).path});
        EXPECT_TRUE(qxtest::status_is(r, 0)) << r.out << r.err;
        std::vector<qxtest::TraceRecord> t = qxtest::register_traffic(sim_.trace());
        sim_.cli({"trace", "off"});
        installed_ = next();

        std::vector<uint64_t> cmd_at;  // access numbers of commands, by value order of appearance
        std::map<std::string, uint64_t> at;
        unsigned erases = 0, protects = 0;
        for (size_t i = 0; i < t.size(); i++) {
            const qxtest::TraceRecord& x = t[i];
            uint64_t n = i + 1;
            if (x.kind != 'W')
                continue;
            if (x.reg == qxsim::ASMI_CMD && x.value == qxsim::ASMI_PROTECT)
                at[protects++ == 0 ? "unlock" : "lock"] = n;
            if (x.reg == qxsim::ASMI_CMD && x.value == qxsim::ASMI_SECTOR_ERASE)
                if (erases++ < 2)
                    at[erases == 1 ? "offset_erase" : "app_erase"] = n;
            if (x.reg == qxsim::ASMI_CMD && x.value == (qxsim::ASMI_WRITE | qxsim::ASMI_IMAGE_DATA) &&
                !at.count("program"))
                at["program"] = n;
            if (x.reg == qxsim::ASMI_CMD && x.value == (qxsim::ASMI_READ | qxsim::ASMI_IMAGE_DATA) &&
                !at.count("verify"))
                at["verify"] = n;
            if (x.reg == qxsim::ASMI_CMD && x.value == qxsim::ASMI_CLEAR)
                at["clear"] = n;
            if (x.reg == qxsim::ASMI_ADDR && x.value == qxsim::OFFSET_RECORD_ADDR)
                at["record"] = n;
            if (x.reg == qxsim::ASMI_CMD && x.value == qxsim::ASMI_WRITE)
                at["record_cmd"] = n;
            if (x.reg == qxsim::ASMI_RECONFIG)
                at["reconfig"] = n;
        }
        for (const char* k : {"unlock", "lock", "offset_erase", "app_erase", "program", "verify",
                              "clear", "record", "record_cmd", "reconfig"})
            EXPECT_TRUE(at.count(k)) << "no " << k << " in the uncut run";
        if (::testing::Test::HasFailure())
            return {};
        at_ = at;
        total_ = t.size();
        record_cmd_ = at["record_cmd"];
        offset_erase_ = at["offset_erase"];
        unlock_ = at["unlock"];
        lock_ = at["lock"];
        uint64_t prog = at["program"], ver = at["verify"];
        uint64_t third = (ver - prog) / 3;
        // Each phase runs up to and including the access that would finish it.
        return {
            {"before the unlock", 1, at["unlock"], 0},
            {"offset-sector erase", at["unlock"] + 1, at["app_erase"], 0},
            {"application erase", at["app_erase"] + 1, prog, 30},
            {"early programming", prog + 1, prog + third, 35},
            {"middle programming", prog + third + 1, prog + 2 * third, 35},
            {"late programming", prog + 2 * third + 1, ver, 35},
            {"verification", ver + 1, at["clear"], 45},
            {"verification to offset record", at["clear"] + 1, at["record"], 0},
            {"inside the offset record", at["record"] + 1, record_cmd_ + 1, 0},
            {"before the lock", record_cmd_ + 2, at["lock"], 0},
            {"before the reconfiguration", at["lock"] + 1, at["reconfig"], 0},
        };
    }

    // Access number of a landmark of the uncut run ("unlock", "program", ...),
    // and the number of its accesses.
    uint64_t at(const std::string& landmark) const { return at_.at(landmark); }
    uint64_t total() const { return total_; }

    // Which image a cut at access N must leave bootable.
    Booted expected_after_cut(uint64_t n, Booted previous) const
    {
        if (n <= offset_erase_)
            return previous;  // the old record and image are untouched
        if (n <= record_cmd_)
            return Booted::factory;  // record erased, new one not yet written
        return next();
    }

    // The protection bits a cut at access N leaves: the unlock and the lock
    // are the accesses that write the protect command.
    uint8_t protection_after_cut(uint64_t n) const { return n > unlock_ && n <= lock_ ? 0x68 : 0x5C; }

    // Cut, power-cycle, judge; then an uncut update of the same image.
    // Torn flash operations all fall between the unlock and the lock.
    void cut_and_recover(const std::string& phase, const std::string& fault,
                         const std::vector<std::string>& args, Booted expected, Tally& tally,
                         uint8_t protection = 0x68)
    {
        Booted previous = installed_;
        Booted target = next();
        const std::string where = phase + " (" + fault + " " + args[0] + (args.size() > 1 ? " " + args[1] : "") + ")";
        tally.tried++;

        sim_.fault(fault, args);
        Result r = sim_.run({"update", image(target).path});
        sim_.clear_faults();
        EXPECT_EQ(r.signal, SIGKILL) << where << ": the cut did not fire\n" << r.out;
        EXPECT_TRUE(qxtest::status_is(sim_.cli({"power-cycle"}), 0)) << where;

        Booted got = booted();
        if (got == Booted::bricked)
            tally.bricked++;
        else if (got == target)
            tally.booted_new++;
        else if (got == Booted::factory)
            tally.booted_factory++;
        else if (got == previous)
            tally.booted_previous++;
        else
            tally.bricked++;
        EXPECT_EQ(booted_name(got), booted_name(expected)) << where;
        EXPECT_TRUE(safety::factory_area_intact(sim_, factory_)) << where;

        uint64_t unerased = 0;
        {
            auto lock = sim_.model().lock();
            const qxsim::EpcqFlash& chip = sim_.model().asmi().flash();
            unerased = chip.state().unerased_programs;
            EXPECT_EQ(chip.status_reg(), protection) << where << ": protection after the power cycle";
            EXPECT_TRUE(chip.sector_protected(0) && chip.sector_protected(511)) << where << ": factory region";
            EXPECT_FALSE(chip.four_byte()) << where << ": 4-byte mode survived the power cycle";
        }
        Result again = sim_.run({"update", image(target).path});
        EXPECT_TRUE(qxtest::status_is(again, 0)) << where << "\n" << again.out << again.err;
        EXPECT_EQ(booted_name(booted()), booted_name(target)) << where << ": the rerun";
        {
            auto lock = sim_.model().lock();
            EXPECT_EQ(sim_.model().asmi().flash().status_reg(), 0x5C) << where << ": relocked";
            EXPECT_EQ(sim_.model().asmi().flash().state().unerased_programs, unerased)
                << where << ": the rerun programmed over unerased bits";
        }
        installed_ = target;
    }

private:
    SimCamera sim_;
    DiskImage a_, b_;
    std::vector<uint8_t> factory_;
    uint32_t factory_crc_ = 0;
    Booted installed_ = Booted::factory;
    uint64_t offset_erase_ = 0, record_cmd_ = 0, unlock_ = 0, lock_ = 0;
    std::map<std::string, uint64_t> at_;
    uint64_t total_ = 0;
};

std::vector<uint64_t> spread(const Phase& p)
{
    std::vector<uint64_t> v;
    uint64_t span = p.last - p.first + 1;
    if (p.points == 0 || p.points >= span) {
        for (uint64_t n = p.first; n <= p.last; n++)
            v.push_back(n);
        return v;
    }
    for (unsigned i = 0; i < p.points; i++)
        v.push_back(p.first + (span - 1) * i / (p.points - 1));
    return v;
}

void print_tally(const char* what, const Tally& t)
{
    std::printf("%s: cuts tried %u, booted new image %u, booted previous image %u, "
                "booted factory image %u, bricked %u\n",
                what, t.tried, t.booted_new, t.booted_previous, t.booted_factory, t.bricked);
}


}  // namespace

TEST(PowerCut, cuts_at_register_accesses_across_every_phase_never_brick_the_camera)
{
    REQUIRE_TOOL("update");
    Campaign c;
    std::vector<Phase> phases = c.phases();
    ASSERT_FALSE(phases.empty());
    std::printf("image: %zu bytes; uncut run: %llu register accesses\n",
                c.image(Booted::image_a).bytes.size(),
                static_cast<unsigned long long>(phases.back().last));

    Tally all;
    for (const Phase& p : phases) {
        Tally t;
        for (uint64_t n : spread(p)) {
            Booted expected = c.expected_after_cut(n, c.installed());
            c.cut_and_recover(p.name, "power-cut", {std::to_string(n)}, expected, t, c.protection_after_cut(n));
            if (::testing::Test::HasFatalFailure())
                return;
        }
        EXPECT_GE(t.tried, 3u) << p.name << " got too few cut points";
        print_tally(p.name.c_str(), t);
        all.tried += t.tried;
        all.booted_new += t.booted_new;
        all.booted_previous += t.booted_previous;
        all.booted_factory += t.booted_factory;
        all.bricked += t.bricked;
    }
    print_tally("all register-access cuts", all);
    EXPECT_GE(all.tried, 200u);
    EXPECT_EQ(all.bricked, 0u);
}

TEST(PowerCut, torn_page_programs_and_sector_erases_never_boot_a_partial_image)
{
    REQUIRE_TOOL("update");
    Campaign c;
    // Install one image uncut so that every torn run replaces a booted one.
    c.phases();
    const uint32_t blocks = uint32_t((c.image(Booted::image_a).bytes.size() + 255) / 256);
    const uint32_t sectors = uint32_t((c.image(Booted::image_a).bytes.size() + 0xFFFF) / 0x10000);
    Tally t;

    // The offset record is the page program after the last image block; only
    // all twelve bytes make it valid.
    for (uint32_t bytes = 0; bytes <= 12; bytes++) {
        Booted expected = bytes == 12 ? c.next() : Booted::factory;
        c.cut_and_recover("torn offset record", "asmi.torn-program",
                          {std::to_string(blocks + 1), std::to_string(bytes)}, expected, t);
    }
    // The offset sector is erased first and the record sits in its last 16
    // bytes: an erase torn before it keeps the old record and the old image.
    for (uint32_t bytes : {0u, 1u, 0x8000u, 0xFFEFu, 0xFFF0u, 0xFFF1u, 0xFFF4u, 0xFFFCu, 0xFFFFu}) {
        Booted expected = bytes <= 0xFFF0 ? c.installed() : Booted::factory;
        c.cut_and_recover("torn offset-sector erase", "asmi.torn-erase", {"1", std::to_string(bytes)},
                          expected, t);
    }
    // Application sectors: erases 2 .. sectors + 1.
    for (uint32_t nth = 2; nth <= sectors + 1; nth++) {
        c.cut_and_recover("torn application erase", "asmi.torn-erase",
                          {std::to_string(nth), std::to_string(nth * 0x1234 % 0x10000)},
                          Booted::factory, t);
    }
    // Image pages: first, middle, last (the short one).
    for (uint32_t nth : {1u, blocks / 2, blocks}) {
        for (uint32_t bytes : {0u, 100u, 255u}) {
            c.cut_and_recover("torn image page", "asmi.torn-program",
                              {std::to_string(nth), std::to_string(bytes)}, Booted::factory, t);
        }
    }
    print_tally("torn flash operations", t);
    EXPECT_EQ(t.bricked, 0u);
    EXPECT_GE(t.tried, 30u);
}

// Updates ended by SIGINT, SIGTERM or a kill (a third each) at an access
// drawn at random (a phase, a fifth each, then an access in it), each followed, with no power
// cycle, by an uninterrupted update: that one must always succeed and boot
// its image, and the factory image stays intact. Set QX_INTERRUPT_SEED to
// draw other accesses.
TEST(Interrupt, updates_ended_by_a_signal_or_a_kill_never_spoil_the_next_one)
{
    REQUIRE_TOOL("update");
    Campaign c;
    ASSERT_FALSE(c.phases().empty());
    const char* seed_text = std::getenv("QX_INTERRUPT_SEED");
    const unsigned long seed = seed_text ? std::strtoul(seed_text, nullptr, 0) : 20261208ul;
    std::mt19937_64 draw(seed);
    const char* const phase_names[] = {"erase", "program", "verify", "record", "lock"};
    // Each phase from the access after the previous one's end to its own.
    const uint64_t phase_end[] = {c.at("unlock"), c.at("program"), c.at("verify"), c.at("clear"),
                                  c.at("record_cmd") + 1, c.total()};
    const char* const ends[] = {"INT", "TERM", "KILL"};
    unsigned drawn[5][3] = {}, failed = 0;
    std::vector<uint8_t> factory = qxsim::make_image(qxsim::factory_image);
    for (int run = 0; run < 100; run++) {
        const unsigned phase = unsigned(draw() % 5);
        const uint64_t n = std::uniform_int_distribution<uint64_t>(phase_end[phase] + 1, phase_end[phase + 1])(draw);
        const unsigned how = unsigned(draw() % 3);
        drawn[phase][how]++;
        const Booted target = c.next();
        const std::string where = std::string(ends[how]) + " at access " + std::to_string(n) + " (" +
                                  phase_names[phase] + ")";

        c.sim().fault("kill-at", {std::to_string(n), ends[how]});
        Result ended = c.sim().run({"update", c.image(target).path});
        c.sim().clear_faults();
        EXPECT_NE(ended.status, 0) << where << ": the run was not ended";
        Result again = c.sim().run({"update", c.image(target).path});
        bool ok = again.status == 0 && c.booted() == target && safety::factory_area_intact(c.sim(), factory);
        failed += !ok;
        EXPECT_TRUE(ok) << where << ": the next update\n" << again.out << again.err;
        c.adopt(target);
    }
    std::printf("interrupted updates (seed %lu): per phase SIGINT/SIGTERM/kill", seed);
    for (unsigned p = 0; p < 5; p++)
        std::printf(", %s %u/%u/%u", phase_names[p], drawn[p][0], drawn[p][1], drawn[p][2]);
    std::printf("; failed next updates %u of 100\n", failed);
    EXPECT_EQ(failed, 0u);
}

// ---- the sweep: every access of one run judged from its flash journal ----

namespace {

// `qxsim sweep power-cut OPTIONS -- TOOL...` on the campaign's camera.
Result sweep(Campaign& c, std::vector<std::string> options, const std::vector<std::string>& tool)
{
    options.insert(options.begin(), {"sweep", "power-cut"});
    options.push_back("--");
    options.insert(options.end(), tool.begin(), tool.end());
    return c.sim().cli(options);
}

// The summary lines of a sweep, for the log.
void print_summary(const std::string& out)
{
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        if (line.find("cut points judged") != std::string::npos || line.compare(0, 5, "time:") == 0 ||
            line.compare(0, 10, "uncut run:") == 0 || line.find("kill points") != std::string::npos)
            std::printf("%s\n", line.c_str());
}

}  // namespace

TEST(PowerCutSweep, every_access_and_every_torn_operation_of_an_update_boots_a_complete_image)
{
    REQUIRE_TOOL("update");
    Campaign c;
    ASSERT_FALSE(c.phases().empty());  // image A installed
    const Booted target = c.next();
    Result r = sweep(c, {"--torn"}, {"update", c.image(target).path});
    print_summary(r.out);
    EXPECT_TRUE(qxtest::status_is(r, 0)) << r.out << r.err;

    // The same update run uncut here: where its unlock, offset-sector erase,
    // offset record and lock commands fall.
    ASSERT_FALSE(c.phases().empty());
    const uint64_t unlock = c.at("unlock"), erase = c.at("offset_erase"), record = c.at("record_cmd"),
                   lock = c.at("lock"), n = c.total();
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m,
                                  std::regex("uncut run: exit status 0, ([0-9]+) accesses in [0-9.]+ s; flash "
                                             "changes: ([0-9]+) sector erases, ([0-9]+) page programs, 2 protection "
                                             "writes\n")))
        << r.out;
    EXPECT_EQ(std::stoull(m[1]), n);
    const uint64_t operations = std::stoull(m[2]) + std::stoull(m[3]);
    EXPECT_TRUE(std::regex_search(r.out, std::regex("[0-9]+ cut points judged \\(" + std::to_string(n) +
                                                    " between accesses, " + std::to_string(4 * operations) +
                                                    " inside flash operations\\): .*, bricked 0\n")))
        << r.out;
    EXPECT_TRUE(qxtest::stdout_contains(r, "factory region unchanged at every point\n"));
    auto span = [](uint64_t a, uint64_t b, const char* what) {
        return "  accesses " + std::to_string(a) + ".." + std::to_string(b) + ": " + what + "\n";
    };
    EXPECT_TRUE(qxtest::stdout_contains(r, span(1, unlock, "old application, protection 0x5C") +
                                               span(unlock + 1, erase, "old application, protection 0x68") +
                                               span(erase + 1, record, "factory, protection 0x68") +
                                               span(record + 1, lock, "new application, protection 0x68") +
                                               span(lock + 1, n, "new application, protection 0x5C") +
                                               "  after the run: protection 0x5C\n"));
}

// Points drawn from sweeps of update and of the unsafe writer, each also
// cut for real (`power-cut K` or a torn fault), power-cycled and booted:
// the image that comes up, the protection and the factory region must be
// what the sweep said. After each cut an uncut update puts image A back.
TEST(PowerCutSweep, two_hundred_drawn_points_agree_with_real_cuts)
{
    REQUIRE_TOOL("update");
    Campaign c;
    ASSERT_FALSE(c.phases().empty());
    const Booted old = c.installed(), target = c.next();
    std::vector<uint8_t> factory = qxsim::make_image(qxsim::factory_image);
    std::mt19937_64 draw(20261209);

    // Which points of a listing to cut for real: `count` drawn between
    // accesses, each one on both sides of a change of outcome, `torn` drawn
    // inside flash operations.
    auto choose = [&](const std::vector<safety::SweepPoint>& all, unsigned count, unsigned torn) {
        std::vector<const safety::SweepPoint*> between, inside;
        for (const safety::SweepPoint& p : all)
            (p.fault.empty() ? between : inside).push_back(&p);
        std::set<const safety::SweepPoint*> chosen;
        for (size_t i = 1; i < between.size(); i++)
            if (between[i]->verdict != between[i - 1]->verdict || between[i]->protection != between[i - 1]->protection)
                chosen.insert({between[i - 1], between[i]});
        for (unsigned i = 0; i < count && !between.empty();)
            i += chosen.insert(between[draw() % between.size()]).second;
        for (unsigned i = 0; i < torn && !inside.empty();)
            i += chosen.insert(inside[draw() % inside.size()]).second;
        return std::vector<const safety::SweepPoint*>(chosen.begin(), chosen.end());
    };
    const std::vector<std::string> update = {"update", c.image(target).path};
    const std::vector<std::string> unsafe = {UNSAFE_WRITER_PATH, c.image(target).path};
    Result r = sweep(c, {"--torn", "--list"}, update);
    ASSERT_TRUE(qxtest::status_is(r, 0)) << r.err;
    const std::vector<safety::SweepPoint> update_points = safety::sweep_points(r.out);
    r = sweep(c, {"--list"}, unsafe);
    ASSERT_TRUE(qxtest::status_is(r, 1)) << r.err;
    const std::vector<safety::SweepPoint> unsafe_points = safety::sweep_points(r.out);

    unsigned cut = 0, differ = 0, seen[4] = {};
    auto check = [&](const safety::SweepPoint& p, const std::vector<std::string>& tool) {
        const Booted expected = p.verdict == "old"       ? old
                                : p.verdict == "new"     ? target
                                : p.verdict == "factory" ? Booted::factory
                                                         : Booted::bricked;
        std::string where = std::to_string(p.access) + (p.fault.empty() ? "" : " " + p.fault) + " of " + tool[0];
        if (p.fault.empty())
            c.sim().fault("power-cut", {std::to_string(p.access)});
        else
            c.sim().fault(p.fault, {std::to_string(p.nth), std::to_string(p.bytes)});
        Result killed = c.sim().run(tool);
        c.sim().clear_faults();
        ASSERT_EQ(killed.signal, SIGKILL) << where << ": not cut";
        ASSERT_TRUE(qxtest::status_is(c.sim().cli({"power-cycle"}), 0));
        Booted got = c.booted();
        unsigned protection;
        {
            auto lock = c.sim().model().lock();
            protection = c.sim().model().asmi().flash().status_reg();
        }
        const bool same = got == expected && protection == p.protection && safety::factory_area_intact(c.sim(), factory);
        EXPECT_TRUE(same) << where << ": the sweep said " << p.verdict << ", protection " << p.protection
                          << "; the camera booted " << booted_name(got) << ", protection " << protection;
        cut++;
        differ += !same;
        seen[static_cast<unsigned>(got)]++;
        // Image A back, as before the sweep.
        ASSERT_TRUE(qxtest::status_is(c.sim().run({"update", c.image(old).path}), 0)) << where;
        ASSERT_EQ(c.booted(), old) << where;
    };
    for (const safety::SweepPoint* p : choose(update_points, 200, 30)) {
        check(*p, update);
        if (::testing::Test::HasFatalFailure())
            return;
    }
    const unsigned from_update = cut;
    for (const safety::SweepPoint* p : choose(unsafe_points, 40, 0)) {
        check(*p, unsafe);
        if (::testing::Test::HasFatalFailure())
            return;
    }
    std::printf("sweep against real cuts: %u points (%u of update, %u of the unsafe writer): booted factory %u, "
                "image A %u, image B %u, bricked %u; %u differ from the sweep\n",
                cut, from_update, cut - from_update, seen[0], seen[1], seen[2], seen[3], differ);
    EXPECT_GE(from_update, 200u);
    EXPECT_GT(seen[3], 0u) << "no bricked point was cut for real";
    EXPECT_EQ(differ, 0u);
}

TEST(PowerCutSweep, every_update_killed_at_a_sampled_access_is_followed_by_a_successful_one)
{
    REQUIRE_TOOL("update");
    Campaign c;
    ASSERT_FALSE(c.phases().empty());
    Result r = sweep(c, {"--kill"}, {"update", c.image(c.next()).path});
    print_summary(r.out);
    EXPECT_TRUE(qxtest::status_is(r, 0)) << r.out << r.err;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\n200 kill points drawn of [0-9]+ accesses \\(seed 1\\): second run "
                                                    "succeeded 200, failed 0\n")))
        << r.out;
}
