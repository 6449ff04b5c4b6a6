#include "qxsim/model/fault_table.h"

#include "qxsim/trace/parse.h"

#include <fmt/format.h>

#include <sstream>

namespace qxsim {

namespace {

std::vector<std::string> words(const char* text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string w;
    while (in >> w)
        out.push_back(w);
    return out;
}

// One argument word of a synopsis: optional, and what it takes.
struct ArgWord {
    bool optional;
    std::string name;  // "N", "ADDR", "read|write"
};

ArgWord arg_word(std::string w)
{
    bool optional = w.size() > 2 && w.front() == '[' && w.back() == ']';
    return {optional, optional ? w.substr(1, w.size() - 2) : w};
}

// The position from 1 of `text` among "a|b|c", or 0.
uint64_t choice_of(const std::string& choices, const std::string& text)
{
    uint64_t n = 1;
    for (size_t start = 0;; n++) {
        size_t bar = choices.find('|', start);
        if (choices.compare(start, bar == std::string::npos ? std::string::npos : bar - start, text) == 0)
            return n;
        if (bar == std::string::npos)
            return 0;
        start = bar + 1;
    }
}

// The choice at position n from 1, or "?".
std::string choice_name(const std::string& choices, uint64_t n)
{
    size_t start = 0;
    for (uint64_t i = 1; i < n; i++) {
        start = choices.find('|', start);
        if (start == std::string::npos)
            return "?";
        start++;
    }
    return choices.substr(start, choices.find('|', start) - start);
}

bool parse_word(const std::string& name, const std::string& text, uint64_t* value)
{
    if (name.find('|') != std::string::npos)
        return (*value = choice_of(name, text)) != 0;
    bool negative = name == "DELTA" && !text.empty() && text[0] == '-';
    uint32_t v = 0;
    if (!parse_u32(negative ? text.substr(1) : text, &v))
        return false;
    if (name == "DELTA") {
        if (v == 0 || v > (negative ? 0x80000000u : 0x7FFFFFFFu))
            return false;
        *value = static_cast<uint64_t>(negative ? -static_cast<int64_t>(v) : static_cast<int64_t>(v));
        return true;
    }
    *value = v;
    if (name == "N" || name == "K" || name == "XOR")
        return v != 0;
    if (name == "ID" || name == "REG")
        return v <= 0xFF;
    return true;  // ADDR, BYTES
}

std::string show_word(const std::string& name, uint64_t value)
{
    if (name.find('|') != std::string::npos)
        return choice_name(name, value);
    if (name == "ADDR" || name == "XOR")
        return fmt::format("0x{:08X}", value);
    if (name == "ID" || name == "REG")
        return fmt::format("0x{:02X}", value);
    if (name == "DELTA")
        return fmt::format("{}", static_cast<int64_t>(value));
    return fmt::format("{}", value);
}

}  // namespace

std::string unknown_fault(const std::string& name, const std::string& owner)
{
    return "unknown fault '" + name + "' of " + owner + " (qxsim fault list shows them)";
}

int FaultTable::find(const std::string& name, FaultArgs* implied) const
{
    implied->clear();
    for (unsigned i = 0; i < count_; i++)
        if (name == entries_[i].name)
            return static_cast<int>(i);
    for (size_t a = 0; a < alias_count_; a++)
        if (name == aliases_[a].name) {
            *implied = words(aliases_[a].args);
            FaultArgs none;
            return find(aliases_[a].fault, &none);
        }
    return -1;
}

bool FaultTable::set(FaultSlots& state, unsigned id, const FaultArgs& args, std::string* error) const
{
    const FaultEntry& e = entries_[id];
    std::vector<std::string> syntax = words(e.args);
    unsigned part = 0;
    size_t next = 0;
    if (e.parts[0]) {
        uint64_t p = args.empty() ? 0 : choice_of(e.parts, args[0]);
        if (p == 0) {
            *error = e.error;
            return false;
        }
        part = static_cast<unsigned>(p - 1);
        syntax.erase(syntax.begin());
        next = 1;
    }
    FaultSlot slot = {};
    if (e.parse) {
        if (!e.parse(slot, FaultArgs(args.begin() + static_cast<long>(next), args.end()))) {
            *error = e.error;
            return false;
        }
    } else {
        for (size_t i = 0; i < syntax.size(); i++) {
            ArgWord w = arg_word(syntax[i]);
            if (next == args.size() && w.optional)
                break;
            if (next == args.size() || !parse_word(w.name, args[next], &slot.arg[i])) {
                *error = e.error;
                return false;
            }
            slot.given |= 1u << i;
            next++;
        }
        if (next != args.size()) {
            *error = e.error;
            return false;
        }
    }
    FaultSlot& s = state.slot[first(id) + part];
    slot.fired = s.fired;
    slot.armed = 1;
    s = slot;
    return true;
}

void FaultTable::clear(FaultSlots& state, unsigned id, const FaultArgs& implied) const
{
    const FaultEntry& e = entries_[id];
    uint64_t part = e.parts[0] && !implied.empty() ? choice_of(e.parts, implied[0]) : 0;
    for (unsigned p = 0; p < parts(id); p++)
        if (part == 0 || part == p + 1)
            state.slot[first(id) + p].armed = 0;
}

bool FaultTable::any_armed(const FaultSlots& state) const
{
    for (unsigned s = 0; s < first_[count_]; s++)
        if (state.slot[s].armed)
            return true;
    return false;
}

void FaultTable::list(std::ostream& out) const
{
    for (unsigned i = 0; i < count_; i++)
        out << entries_[i].name << (entries_[i].args[0] ? " " : "") << entries_[i].args << "  " << entries_[i].help
            << "\n";
}

std::string FaultTable::label(unsigned id, unsigned part) const
{
    const FaultEntry& e = entries_[id];
    return e.parts[0] ? std::string(e.name) + " " + choice_name(e.parts, part + 1) : e.name;
}

std::string FaultTable::text(const FaultSlots& state, unsigned id, unsigned part) const
{
    const FaultEntry& e = entries_[id];
    const FaultSlot& s = state.slot[first(id) + part];
    std::string text = label(id, part);
    std::vector<std::string> syntax = words(e.args);
    if (e.parts[0])
        syntax.erase(syntax.begin());
    if (e.show) {
        std::string args = e.show(s);
        return args.empty() ? text : text + " " + args;
    }
    for (size_t i = 0; i < syntax.size() && i < 3; i++)
        if (s.given & (1u << i))
            text += " " + show_word(arg_word(syntax[i]).name, s.arg[i]);
    return text;
}

void FaultTable::describe(const FaultSlots& state, const char* indent, std::ostream& out) const
{
    for (unsigned id = 0; id < count_; id++)
        for (unsigned p = 0; p < parts(id); p++) {
            const FaultSlot& s = state.slot[first(id) + p];
            if (s.armed)
                out << fmt::format("{}fault {}: set, fired {} time(s)\n", indent, text(state, id, p), s.fired);
            else if (s.fired)
                out << fmt::format("{}fault {}: fired {} time(s), no longer set\n", indent, text(state, id, p),
                                   s.fired);
        }
}

// ---- FaultHost ----

void FaultHost::add_faults(const FaultTable& table, FaultSlots& state, const char* indent)
{
    groups_[group_count_++] = Group{&table, &state, indent};
}

const FaultHost::Group* FaultHost::find(const std::string& fault, int* id, FaultArgs* implied, std::string* error) const
{
    for (unsigned g = 0; g < group_count_; g++)
        if ((*id = groups_[g].table->find(fault, implied)) >= 0)
            return &groups_[g];
    *error = unknown_fault(fault, fault_owner());
    return nullptr;
}

bool FaultHost::set_fault(const std::string& fault, const FaultArgs& args, std::string* error)
{
    int id = -1;
    FaultArgs all;
    const Group* g = find(fault, &id, &all, error);
    if (!g)
        return false;
    all.insert(all.end(), args.begin(), args.end());
    if (!g->table->set(*g->state, static_cast<unsigned>(id), all, error))
        return false;
    fault_changed(*g->table, static_cast<unsigned>(id), true);
    return true;
}

bool FaultHost::clear_fault(const std::string& fault, std::string* error)
{
    int id = -1;
    FaultArgs implied;
    const Group* g = find(fault, &id, &implied, error);
    if (!g)
        return false;
    g->table->clear(*g->state, static_cast<unsigned>(id), implied);
    fault_changed(*g->table, static_cast<unsigned>(id), false);
    return true;
}

void FaultHost::clear_faults()
{
    for (unsigned g = 0; g < group_count_; g++)
        for (unsigned id = 0; id < groups_[g].table->size(); id++) {
            groups_[g].table->clear(*groups_[g].state, id, {});
            fault_changed(*groups_[g].table, id, false);
        }
}

void FaultHost::list_faults(std::ostream& out) const
{
    for (unsigned g = 0; g < group_count_; g++)
        groups_[g].table->list(out);
}

void FaultHost::describe_faults(std::ostream& out) const
{
    for (unsigned g = 0; g < group_count_; g++)
        groups_[g].table->describe(*groups_[g].state, groups_[g].indent, out);
}

const FaultSlot* FaultHost::fault_state(const std::string& fault, unsigned part) const
{
    int id = -1;
    FaultArgs implied;
    std::string error;
    const Group* g = find(fault, &id, &implied, &error);
    if (!g || part >= g->table->parts(static_cast<unsigned>(id)))
        return nullptr;
    return &g->state->slot[g->table->first(static_cast<unsigned>(id)) + part];
}

}  // namespace qxsim
