// A block's faults as one table: each entry names a fault, the arguments it
// takes and what it does, with the functions that set, clear and describe
// it. Adding a fault is one entry plus its effect where the block handles
// the access. `Target` is what the entry's functions work on: the block's
// shared state, or the block itself when clearing has a side effect.
#pragma once

#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

namespace qxsim {

template <class Target>
struct FaultEntry {
    const char* name;
    const char* args;  // as `qxsim fault list` shows them; "" for none
    const char* help;
    // Parses `args` and sets the fault; false with *error saying what the
    // fault takes.
    bool (*set)(Target& target, const std::vector<std::string>& args, std::string* error);
    void (*clear)(Target& target);
    // `show` lines (indented) while the fault is set or has fired; may be
    // null when the block's own description already shows it.
    void (*describe)(const Target& target, std::ostream& out);
};

template <class Target>
class FaultTable {
public:
    template <size_t N>
    constexpr FaultTable(const FaultEntry<Target> (&entries)[N]) : entries_(entries), count_(N) {}

    const FaultEntry<Target>* begin() const { return entries_; }
    const FaultEntry<Target>* end() const { return entries_ + count_; }

    const FaultEntry<Target>* find(const std::string& name) const
    {
        for (const FaultEntry<Target>& e : *this)
            if (name == e.name)
                return &e;
        return nullptr;
    }

    // `owner` names the block or device in the message for an unknown name.
    bool set(Target& target, const std::string& name, const std::vector<std::string>& args,
             const std::string& owner, std::string* error) const
    {
        const FaultEntry<Target>* e = find(name);
        if (!e) {
            *error = unknown(name, owner);
            return false;
        }
        return e->set(target, args, error);
    }

    bool clear(Target& target, const std::string& name, const std::string& owner, std::string* error) const
    {
        const FaultEntry<Target>* e = find(name);
        if (!e) {
            *error = unknown(name, owner);
            return false;
        }
        e->clear(target);
        return true;
    }

    void clear_all(Target& target) const
    {
        for (const FaultEntry<Target>& e : *this)
            e.clear(target);
    }

    // One line per fault: "name ARGS  help".
    void list(std::ostream& out) const
    {
        for (const FaultEntry<Target>& e : *this)
            out << e.name << (e.args[0] ? " " : "") << e.args << "  " << e.help << "\n";
    }

    void describe(const Target& target, std::ostream& out) const
    {
        for (const FaultEntry<Target>& e : *this)
            if (e.describe)
                e.describe(target, out);
    }

    static std::string unknown(const std::string& name, const std::string& owner)
    {
        return "unknown fault '" + name + "' of " + owner + " (qxsim fault list shows them)";
    }

private:
    const FaultEntry<Target>* entries_;
    size_t count_;
};

}  // namespace qxsim
