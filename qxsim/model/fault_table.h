// Faults as data. An owner (a block, a bus device, the camera's driver
// path) lists its faults in one table, one entry each: the name, the
// arguments as `qxsim fault list` shows them, what the fault does and what a
// wrong argument list is told. Setting, clearing, listing and showing are
// generic; each entry's shared state is a FaultSlot in the owner's state
// struct (the entry's position in the table picks it), holding whether it is
// set, its arguments, a count of events and how often it fired. The owner
// writes only the effect, where it handles the access. An entry may have
// parts, each set and shown on its own ("fifo-level wr|rd ..."), and an older
// spelling may stand for an entry with some of its arguments.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace qxsim {

using FaultArgs = std::vector<std::string>;

// One fault's (or part's) shared state.
struct FaultSlot {
    uint32_t armed;
    uint32_t given;   // bit i: argument i was given (the rest default to 0)
    uint64_t arg[3];  // the arguments: numbers, a choice's position from 1
    uint64_t seen;    // events counted towards an Nth-event fault
    uint64_t fired;   // times the fault changed an answer; kept when it is set again or cleared
};

// Room in an owner's state: a fault added at the end of a table needs no
// change of the state layout.
constexpr unsigned FAULT_SLOTS = 12;
struct FaultSlots {
    FaultSlot slot[FAULT_SLOTS];
};

struct FaultEntry {
    const char* name;
    // The arguments, each one word: N or K a count from 1, BYTES or ADDR a
    // number, XOR a non-zero number, ID or REG a byte, DELTA a signed
    // non-zero number, a|b one of the words; [X] optional. A fault with
    // parts takes the part first.
    const char* args;
    const char* help;
    const char* error;  // the message for arguments that do not fit
    const char* parts = "";
    // For arguments the words above do not say: parse them into the slot
    // (false: they do not fit), and show them.
    bool (*parse)(FaultSlot& slot, const FaultArgs& args) = nullptr;
    std::string (*show)(const FaultSlot& slot) = nullptr;
};

// The words the blocks share, so that a name means one thing everywhere.
constexpr FaultEntry stuck_busy_fault(const char* help)
{
    return {"stuck-busy", "", help, "stuck-busy takes no argument"};
}
constexpr FaultEntry busy_fault(const char* help)
{
    return {"busy", "K", help, "busy takes the number of status reads (1 or more)"};
}

// An older spelling: `name` is the entry `fault` with `args` in front.
struct FaultAlias {
    const char* name;
    const char* fault;
    const char* args;
};

class FaultTable {
public:
    template <size_t N>
    constexpr FaultTable(const FaultEntry (&entries)[N]) : FaultTable(entries, N, nullptr, 0)
    {}
    template <size_t N, size_t M>
    constexpr FaultTable(const FaultEntry (&entries)[N], const FaultAlias (&aliases)[M])
        : FaultTable(entries, N, aliases, M)
    {}

    unsigned size() const { return count_; }
    const FaultEntry& operator[](unsigned id) const { return entries_[id]; }
    // The slot of an entry's first part.
    constexpr unsigned first(unsigned id) const { return first_[id]; }
    unsigned parts(unsigned id) const { return first_[id + 1] - first_[id]; }

    // The entry called `name`, or by an older spelling (then *implied are
    // the arguments it stands for); -1 for neither.
    int find(const std::string& name, FaultArgs* implied) const;

    // Parses the arguments and sets the fault; false with *error.
    bool set(FaultSlots& state, unsigned id, const FaultArgs& args, std::string* error) const;
    // Clears the fault, or the part that `implied` names.
    void clear(FaultSlots& state, unsigned id, const FaultArgs& implied) const;
    bool any_armed(const FaultSlots& state) const;

    // One line per entry: "name ARGS  help".
    void list(std::ostream& out) const;
    // "name[ part]", and with the arguments as set.
    std::string label(unsigned id, unsigned part) const;
    std::string text(const FaultSlots& state, unsigned id, unsigned part) const;
    // One line per part that is set or has fired:
    // "<indent>fault busy 2: set, fired 3 time(s)".
    void describe(const FaultSlots& state, const char* indent, std::ostream& out) const;

private:
    static constexpr unsigned MAX = FAULT_SLOTS;
    static constexpr unsigned count_parts(const char* parts)
    {
        unsigned n = 1;
        for (; *parts; parts++)
            n += *parts == '|';
        return n;
    }
    constexpr FaultTable(const FaultEntry* entries, size_t n, const FaultAlias* aliases, size_t m)
        : entries_(entries), count_(static_cast<unsigned>(n)), aliases_(aliases), alias_count_(m)
    {
        unsigned slot = 0;
        for (unsigned i = 0; i < n; i++) {
            first_[i] = slot;
            slot += entries[i].parts[0] ? count_parts(entries[i].parts) : 1;
        }
        first_[n] = slot;
        if (n >= MAX || slot > MAX)
            throw "more faults than an owner has slots";  // a compile error in a constant table
    }

    const FaultEntry* entries_;
    unsigned count_;
    const FaultAlias* aliases_;
    size_t alias_count_;
    unsigned first_[MAX + 1] = {};
};

// What carries faults: the register blocks and the bus devices. They reach
// them by name through here ("busy", "nak"); the owner gives its table(s)
// and slots and writes the effects.
class FaultHost {
public:
    virtual ~FaultHost() = default;

    virtual const char* name() const = 0;

    // Unknown names and arguments that do not fit return false with *error.
    bool set_fault(const std::string& fault, const FaultArgs& args, std::string* error);
    bool clear_fault(const std::string& fault, std::string* error);
    void clear_faults();
    // One line per fault, "name ARGS  description".
    void list_faults(std::ostream& out) const;
    // `show` lines of the faults set or fired.
    void describe_faults(std::ostream& out) const;
    // The state of a fault (of a part), or null for an unknown name.
    const FaultSlot* fault_state(const std::string& fault, unsigned part = 0) const;

protected:
    // The owner's faults; a second table for a part it carries (the flash
    // chip behind the controller). `indent` for show: devices sit deeper.
    void add_faults(const FaultTable& table, FaultSlots& state, const char* indent = "  ");
    // How a message names the owner: "the identification memory".
    virtual std::string fault_owner() const { return name(); }
    // What changes with a fault beyond its slot when it is set or cleared.
    virtual void fault_changed(const FaultTable& table, unsigned id, bool set) { (void)table, (void)id, (void)set; }

private:
    struct Group {
        const FaultTable* table;
        FaultSlots* state;
        const char* indent;
    };
    // The group holding `fault`, or null with *error.
    const Group* find(const std::string& fault, int* id, FaultArgs* implied, std::string* error) const;

    Group groups_[2] = {};
    unsigned group_count_ = 0;
};

// "unknown fault 'NAME' of OWNER (qxsim fault list shows them)"
std::string unknown_fault(const std::string& name, const std::string& owner);

}  // namespace qxsim
