// The EPCQ-L array's bytes, kept in the camera's state folder as `flash.bin`:
// a 128 MiB sparse file mapped MAP_SHARED, so every process using the camera
// sees the same array and a run only writes the pages it programs.
//
// The file holds the bitwise complement of the array. An erased byte (0xFF)
// is stored as 0x00, so holes read as erased, a sector erase punches a hole,
// and programming (which can only clear bits of the array) ORs bits into the
// stored bytes.
#pragma once

#include <cstdint>
#include <string>

namespace qxsim {

class FlashStore {
public:
    static constexpr uint32_t kSize = 128u << 20;

    FlashStore() = default;
    ~FlashStore();
    FlashStore(const FlashStore&) = delete;
    FlashStore& operator=(const FlashStore&) = delete;

    // Map `path`: with `create`, a fully erased array when it does not exist
    // yet (a new camera); else it must be there, a regular file of the
    // array's size. *error names the file and what is wrong with it.
    bool open(const std::string& path, std::string* error, bool create = false);
    bool is_open() const { return mem_ != nullptr; }
    // Still the file that was mapped, at its size: false with *error when it
    // was removed, replaced or cut short meanwhile.
    bool intact(const std::string& path, std::string* error) const;

    uint8_t byte(uint32_t addr) const { return static_cast<uint8_t>(~mem_[addr]); }

    // Ranges must lie inside the array; callers wrap addresses first.
    void read(uint32_t addr, uint8_t* out, uint32_t len) const;
    // NOR programming: array &= data.
    void program(uint32_t addr, const uint8_t* data, uint32_t len);
    // True when programming `data` at `addr` would have to set a bit that is 0.
    bool needs_erase(uint32_t addr, const uint8_t* data, uint32_t len) const;
    // Back to 0xFF. Whole 4 KiB pages are released from the file.
    void erase(uint32_t addr, uint32_t len);
    // Programming without NOR rules (factory provisioning): array = data.
    void load(uint32_t addr, const uint8_t* data, uint32_t len);

    // One past the last byte in [begin, end) that is not 0xFF; begin when the
    // whole range is erased. Skips the file's holes.
    uint32_t programmed_end(uint32_t begin, uint32_t end) const;

private:
    int fd_ = -1;
    uint8_t* mem_ = nullptr;
    uint64_t dev_ = 0;  // fixed-width, whatever _FILE_OFFSET_BITS says
    uint64_t ino_ = 0;
};

}  // namespace qxsim
