// The flash journal of a run: every change the chip made to what survives
// a power cut (page programs, sector erases, status register writes), each
// with the camera's access counter at the access that made it. The
// interposer writes it for every process it serves when
// QXSIM_FLASH_JOURNAL names a file; the power-cut sweep reads it back.
//
// File: records of a 16-byte header (access number, kind, status value,
// byte count, address; native byte order) followed, for a page program, by
// its bytes. Each record is appended with one write() under the camera's
// lock, so the processes of a run keep their order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qxsim {

class Camera;

enum FlashChangeKind : uint8_t {
    FLASH_PROGRAM = 'P',
    FLASH_ERASE = 'E',
    FLASH_STATUS = 'S',
};

struct FlashChange {
    uint64_t access = 0;  // the camera's access counter when the chip took it
    FlashChangeKind kind = FLASH_PROGRAM;
    uint8_t status = 0;    // FLASH_STATUS: the bits stored
    uint32_t addr = 0;     // program: as decoded (bytes wrap within the page); erase: the sector's first byte
    uint32_t length = 0;   // program: bytes; erase: the sector size; status: 0
    uint32_t ordinal = 0;  // program or erase: 1 for the run's first of its kind (the torn faults' N)
    size_t data = 0;       // program: offset of its bytes in FlashJournal::bytes
};

struct FlashJournal {
    std::vector<FlashChange> changes;
    std::vector<uint8_t> bytes;
    unsigned programs = 0, erases = 0, status_writes = 0;
};

// Makes this process's camera journal its flash changes to `path` (opened
// for appending, created when missing). False with *err when it cannot.
bool attach_flash_journal(Camera& camera, const std::string& path, std::string* err);

// Reads a journal; a missing file is an empty journal. False with *err for
// a file that is not one (a torn last record included).
bool read_flash_journal(const std::string& path, FlashJournal* journal, std::string* err);

}  // namespace qxsim
