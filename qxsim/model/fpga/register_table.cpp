#include "qxsim/model/fpga/register_table.h"

namespace qxsim {

// A dense index over the table's word offsets: one byte per word, -1 for
// the holes, so that decoding an access is a subtraction and a load.
void RegisterLayout::index()
{
    if (count_ == 0)
        std::abort();
    uint32_t lo = info_[0]->offset, hi = lo;
    for (unsigned i = 0; i < count_; i++) {
        lo = info_[i]->offset < lo ? info_[i]->offset : lo;
        hi = info_[i]->offset > hi ? info_[i]->offset : hi;
    }
    if ((hi - lo) / 4 >= MAX_WORDS)
        std::abort();
    lo_ = lo;
    span_ = hi - lo + 4;
    for (int8_t& s : slot_)
        s = -1;
    for (unsigned i = 0; i < count_; i++) {
        uint32_t d = info_[i]->offset - lo;
        if ((d & 3) || slot_[d >> 2] >= 0)
            std::abort();  // unaligned, or two registers at one offset
        slot_[d >> 2] = static_cast<int8_t>(i);
    }
}

}  // namespace qxsim
