// Registers described as data. A block's registers are one list in
// register_map.h, one line per register: name, offset, access, reset value,
// writable bits, write-1-to-clear bits, where the value lives in the block's
// shared state, and the hooks that run the side effects (start a
// transaction, pop a FIFO). The block's table is that list; the generic part
// here does the rest: decoding, stored bits, cleared bits, ignored writes,
// reset.
//
// A read returns 0 for a write-only register, else the read hook's value,
// else the stored value, else the reset value (a constant register). A
// write stores `writable` bits and clears the `w1c` bits written as 1 (not
// for a read-only register), then runs the write hook with the value as
// written; a read-only register's write hook sees the ignored write.
#pragma once

#include "qxsim/model/fpga/register_block.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace qxsim {

enum class RegAccess : uint8_t { RW, RO, WO };

// A list line as the register's offset constant: ASMI_STATUS = 0x1004.
#define QXSIM_REGISTER_OFFSET(name, offset, ...) constexpr uint32_t name = offset;
// A list line as a row of its block's table.
#define QXSIM_REGISTER_ROW(name, offset, access, reset, writable, w1c, storage, on_read, on_write)                    \
    {{#name, offset, RegAccess::access, reset, writable, w1c}, storage, on_read, on_write},
// A block's table from its list, built once: `Block::map()` in the block's
// source.
#define QXSIM_REGISTER_TABLE(Block, LIST)                                                                              \
    const Block::Map& Block::map()                                                                                     \
    {                                                                                                                  \
        static const Reg table[] = {LIST(QXSIM_REGISTER_ROW)};                                                         \
        static const Map m(table);                                                                                     \
        return m;                                                                                                      \
    }
// In a list: the state field holding the value, and a hook of the block.
#define STORED(field) offsetof(State, field)
#define HOOK(method) &Self::method
// A field of a register: REG_FIELD is its mask.
#define QXSIM_FIELD(reg, field, shift, width)                                                                          \
    constexpr uint32_t reg##_##field = static_cast<uint32_t>(((1ull << (width)) - 1) << (shift));

// A register as the hardware documents it.
struct RegisterInfo {
    const char* name;   // the hardware's constant, "ASMI_STATUS"
    uint32_t offset;    // from the block's base
    RegAccess access;
    uint32_t reset;     // power-on value
    uint32_t writable;  // bits a write stores
    uint32_t w1c;       // bits a written 1 clears
};

// The value has no place in the block's state: a constant, or computed by
// the read hook, or a write-only port.
constexpr uint16_t NO_STORAGE = 0xFFFF;

template <class Block, class State>
struct RegisterDef {
    RegisterInfo info;
    uint16_t storage;  // offsetof(State, field), or NO_STORAGE
    uint32_t (Block::*on_read)(const RegisterDef& reg);
    void (Block::*on_write)(const RegisterDef& reg, uint32_t value);
};

// A table's names and offsets, without the block's types: what the name
// lookup, `show` and the tests see. Offsets are word-aligned and span at
// most MAX_WORDS words.
class RegisterLayout {
public:
    static constexpr unsigned MAX_WORDS = 64;
    static constexpr unsigned MAX_REGS = 32;

    unsigned size() const { return count_; }
    const RegisterInfo& operator[](unsigned i) const { return *info_[i]; }

    // Index of the register at `offset`, or -1.
    int index_of(uint32_t offset) const
    {
        uint32_t d = offset - lo_;
        if (d >= span_ || (d & 3))
            return -1;
        return slot_[d >> 2];
    }
    uint32_t lowest() const { return lo_; }
    uint32_t span() const { return span_; }  // bytes from the lowest offset past the highest

protected:
    RegisterLayout() = default;
    void add(const RegisterInfo& info)
    {
        if (count_ == MAX_REGS)
            std::abort();
        info_[count_++] = &info;
    }
    // Builds the offset index once every register is added.
    void index();

private:
    const RegisterInfo* info_[MAX_REGS] = {};
    unsigned count_ = 0;
    uint32_t lo_ = 0;
    uint32_t span_ = 0;
    int8_t slot_[MAX_WORDS] = {};
};

template <class Block, class State>
class RegisterMap : public RegisterLayout {
public:
    using Def = RegisterDef<Block, State>;

    template <size_t N>
    explicit RegisterMap(const Def (&defs)[N]) : defs_(defs)
    {
        for (const Def& d : defs)
            add(d.info);
        index();
        for (unsigned w = 0; w < MAX_WORDS; w++) {
            int i = index_of(lowest() + 4 * w);
            by_word_[w] = i < 0 ? nullptr : &defs_[i];
        }
    }

    const Def& def(unsigned i) const { return defs_[i]; }
    // The register of each word from lowest(), null for the holes.
    const Def* const* by_word() const { return by_word_; }

    uint32_t read(Block& block, State& state, const Def& d) const
    {
        if (d.info.access == RegAccess::WO)
            return 0;
        if (d.on_read)
            return (block.*d.on_read)(d);
        return d.storage == NO_STORAGE ? d.info.reset : *field(state, d);
    }

    void write(Block& block, State& state, const Def& d, uint32_t value) const
    {
        if (d.info.access != RegAccess::RO && d.storage != NO_STORAGE) {
            uint32_t* v = field(state, d);
            *v = ((*v & ~d.info.writable) | (value & d.info.writable)) & ~(value & d.info.w1c);
        }
        if (d.on_write)
            (block.*d.on_write)(d, value);
    }

    // What `show` prints: the value a read would return, for registers
    // whose read has no side effect and is not computed.
    bool stored(const State& state, unsigned i, uint32_t* value) const
    {
        const Def& d = defs_[i];
        if (d.info.access == RegAccess::WO || d.on_read)
            return false;
        *value = d.storage == NO_STORAGE ? d.info.reset : *field(state, d);
        return true;
    }

    // Every stored register back to its reset value.
    void reset(State& state) const
    {
        for (unsigned i = 0; i < size(); i++)
            if (defs_[i].storage != NO_STORAGE)
                *field(state, defs_[i]) = defs_[i].info.reset;
    }

private:
    static uint32_t* field(State& state, const Def& d)
    {
        return reinterpret_cast<uint32_t*>(reinterpret_cast<char*>(&state) + d.storage);
    }
    static const uint32_t* field(const State& state, const Def& d)
    {
        return reinterpret_cast<const uint32_t*>(reinterpret_cast<const char*>(&state) + d.storage);
    }

    const Def* defs_;
    const Def* by_word_[MAX_WORDS];
};

// A block whose registers come from a RegisterMap: decoding, reads and
// writes are the table's; the block writes only its hooks.
template <class Block, class BlockState>
class TableBlock : public RegisterBlock {
public:
    // What the block's list names: STORED(field) of State, HOOK(method) of Self.
    using Self = Block;
    using State = BlockState;
    using Map = RegisterMap<Block, State>;
    using Reg = RegisterDef<Block, State>;

    // At its place in register_map.h (a BlockPlace): name, register name
    // prefix, base.
    template <class Place>
    TableBlock(State& state, const Place& place)
        : map_(Block::map()), regs_(state), name_(place.name), prefix_(place.prefix), base_(place.base),
          first_(place.base + map_.lowest()), span_(map_.span()), by_word_(map_.by_word())
    {
    }

    // The block's table, for the names and the tests.
    static const RegisterLayout& layout() { return Block::map(); }

    const char* name() const override { return name_; }
    const char* register_prefix() const override { return prefix_; }

    bool decodes(uint32_t reg) const override { return find(reg) != nullptr; }

    uint32_t read(uint32_t reg) override
    {
        const Reg* r = find(reg);
        return r ? map_.read(static_cast<Block&>(*this), regs_, *r) : 0;
    }

    void write(uint32_t reg, uint32_t value) override
    {
        if (const Reg* r = find(reg))
            map_.write(static_cast<Block&>(*this), regs_, *r, value);
    }

    const RegisterLayout* registers() const override { return &map_; }
    uint32_t base() const override { return base_; }
    bool stored_value(unsigned index, uint32_t* value) const override
    {
        return map_.stored(regs_, index, value);
    }

protected:
    // The table's registers back to their reset values.
    void reset_registers() { map_.reset(regs_); }
    // Index of `reg` in the block's own table (the hooks' argument).
    unsigned index_of(const Reg& reg) const { return static_cast<unsigned>(&reg - &map_.def(0)); }

    const Map& map_;

private:
    // Decoding is on every access: a subtraction, a compare and a load.
    const Reg* find(uint32_t reg) const
    {
        uint32_t d = reg - first_;
        return d < span_ && (d & 3) == 0 ? by_word_[d >> 2] : nullptr;
    }

    State& regs_;
    const char* name_;
    const char* prefix_;
    uint32_t base_;
    uint32_t first_;  // address of the lowest register
    uint32_t span_;
    const Reg* const* by_word_;
};

}  // namespace qxsim
