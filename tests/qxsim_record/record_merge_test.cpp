// The merge of a recording folder, on files made by hand: whatever a
// process file holds, every readable file takes part, a damaged one is read
// up to the damage, both are named, and every line written parses.
#include "qxsim/record/record_format.h"
#include "qxsim/record/record_merge.h"
#include "qxsim/trace/trace_format.h"
#include "sim_camera.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace qxsim::rec;
using Bytes = std::vector<uint8_t>;

void put(Bytes& b, const void* p, size_t n)
{
    const uint8_t* q = static_cast<const uint8_t*>(p);
    b.insert(b.end(), q, q + n);
}
template <typename T>
void put(Bytes& b, T v)
{
    put(b, &v, sizeof v);
}

// A file of process `pid` holding `body` after its header, and a first
// segment with a clock reading.
Bytes process_file(uint32_t pid, uint32_t order, const Bytes& body, bool magic_ok = true)
{
    Bytes b;
    FileHeader h = {};
    std::memcpy(h.magic, MAGIC, sizeof h.magic);
    if (!magic_ok)
        h.magic[6] = '9';
    h.pid = pid;
    put(b, &h, sizeof h);
    put<uint8_t>(b, OP_SEGMENT);
    put<uint32_t>(b, order);
    put<uint8_t>(b, OP_TIME);
    put<uint64_t>(b, 1000000000ull * order);
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

Bytes write_of(uint32_t reg, uint32_t value)
{
    Bytes b;
    put<uint8_t>(b, OP_SLOT);
    put<uint8_t>(b, uint8_t(slot_of(reg)));
    put<uint32_t>(b, reg);
    put<uint8_t>(b, uint8_t(OP_WRITE | slot_of(reg)));
    put<uint8_t>(b, 1);
    put<uint32_t>(b, value);
    return b;
}

Bytes exit_of(uint32_t status)
{
    Bytes b;
    put<uint8_t>(b, OP_END);
    put<uint8_t>(b, END_EXIT);
    put<uint32_t>(b, status);
    return b;
}

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes raw(std::initializer_list<uint8_t> bytes, uint32_t word = 0, bool with_word = false)
{
    Bytes b(bytes);
    if (with_word)
        put<uint32_t>(b, word);
    return b;
}

struct Merged {
    bool ok = false;
    std::vector<std::string> lines;  // without time fields: "<pid> <kind> ..."
    qxsim::MergeResult result;
    bool all_parse = true;
};

Merged merge(const std::vector<std::pair<std::string, Bytes>>& files)
{
    qxtest::TempDir tmp;
    const std::string& dir = tmp.path();
    for (const auto& [name, bytes] : files)
        std::ofstream(dir + "/" + name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    Merged m;
    std::string err;
    qxsim::SessionEnd end{42, 5000000000ull, false, 0};
    m.ok = qxsim::merge_recording(dir, dir + "/out.trace", end, &m.result, &err);
    std::ifstream in(dir + "/out.trace");
    std::string line;
    while (std::getline(in, line)) {
        qxsim::TraceRecord rec;
        m.all_parse &= qxsim::parse_trace_line(line, &rec);
        size_t a = line.find(' '), b = line.find(' ', a + 1);
        m.lines.push_back(line[0] == '#' ? line : line.substr(0, a) + line.substr(b));
    }
    return m;
}

TEST(RecordMerge, takes_every_file_it_can_read_and_names_the_damaged_ones)
{
    const Bytes good = write_of(0x1000, 5) + exit_of(0);
    const struct {
        const char* name;
        Bytes file;
        std::vector<std::string> kept;  // lines of pid 20 that make it
        std::string damage;
    } cases[] = {
        {"whole", write_of(0x184, 1) + exit_of(3), {"20 W 0x00000184 0x00000001", "20 X exit 3"}, ""},
        {"killed (no end record)", write_of(0x184, 1), {"20 W 0x00000184 0x00000001"}, ""},
        {"failure of a kind the trace has not", write_of(0x184, 1) + raw({OP_FAIL, 'P'}, 0x184, true) +
                                                      raw({}, 5, true),
         {"20 W 0x00000184 0x00000001"}, "2.0.rec: damaged at byte 42 (record 0x04); read up to there"},
        {"errno beyond the parser's bound", raw({OP_FAIL, 'R'}, 0x184, true) + raw({}, 200000, true),
         {}, "2.0.rec: damaged at byte 30 (record 0x04); read up to there"},
        {"proc buffer longer than the file", raw({OP_PROC, 0}, 0xFFFFFFF0u, true) + raw({'w', ' ', '1'}),
         {}, "2.0.rec: cut short at byte 30 (record 0x07); read up to there"},
        {"empty run", raw({uint8_t(OP_WRITE | 1), 0}) + exit_of(0), {},
         "2.0.rec: damaged at byte 30 (record 0xc1); read up to there"},
        {"unknown record", write_of(0x184, 1) + raw({0x3F}), {"20 W 0x00000184 0x00000001"},
         "2.0.rec: damaged at byte 42 (record 0x3f); read up to there"},
        {"another recorder's file", process_file(20, 2, write_of(0x184, 1), false), {},
         "2.0.rec: left out, not a recording of this recorder"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes second = c.file.size() > 8 && c.file[0] == 'Q' ? c.file : process_file(20, 2, c.file);
        Merged m = merge({{"1.0.rec", process_file(10, 1, good)}, {"2.0.rec", second}});
        ASSERT_TRUE(m.ok);
        EXPECT_TRUE(m.all_parse);
        std::vector<std::string> expected = {"# qxsim recording 2", "10 W 0x00001000 0x00000005", "10 X exit 0"};
        expected.insert(expected.end(), c.kept.begin(), c.kept.end());
        expected.push_back("42 Z exit 0");
        EXPECT_EQ(m.lines, expected);
        std::vector<std::string> damaged;
        if (!c.damage.empty())
            damaged.push_back(c.damage);
        EXPECT_EQ(m.result.damaged, damaged);
        bool killed = std::string(c.name) == "killed (no end record)";
        EXPECT_EQ(m.result.killed, killed ? std::vector<uint32_t>{20} : std::vector<uint32_t>{});
    }
}

}  // namespace
