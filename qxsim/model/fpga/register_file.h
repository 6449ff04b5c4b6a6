// Every FPGA register that no block models: it holds what was last written
// (0 before that) and is listed by `show` so that nothing is silently invented.
// It has no register table and its registers no names: `show`, `peek` and
// the trace view give them by address.
#pragma once

#include "qxsim/model/fpga/register_block.h"
#include "qxsim/model/fpga/register_file_state.h"

namespace qxsim {

class RegisterFile : public RegisterBlock {
public:
    explicit RegisterFile(RegisterFileState& s) : s_(s) {}

    const char* name() const override { return "unmodelled"; }
    bool decodes(uint32_t) const override { return true; }
    uint32_t read(uint32_t reg) override;
    void write(uint32_t reg, uint32_t value) override;
    void reset() override;
    // Every register reads 0 again; the list of touched registers and
    // their access counts stay for `show`.
    void power_on() override;
    void reload() override { power_on(); }
    void describe(std::ostream& out) const override;

    // The entry of `reg`, or null if the register was never touched.
    const RegisterFileEntry* find(uint32_t reg) const;

private:
    RegisterFileEntry* slot(uint32_t reg);

    RegisterFileState& s_;
};

}  // namespace qxsim
