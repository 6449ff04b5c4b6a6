// Made-up FPGA configuration images for the simulated camera: the factory
// image in the flash's protected area and the three release images of the
// firmware folder. Deterministic, a few MiB each, told apart by content.
//
// Container: a 64-byte header ("QXSIMRBF", the image name NUL-padded to 32
// bytes, payload length and seed as little-endian words, zeros), the
// pseudo-random payload, then the CRC-32 of the payload (little-endian; a
// CRC over the header too would give every whole image the same CRC) and
// "END!". It never ends in 0xFF, so a booted region's
// length is the image's length.
#pragma once

#include "qxsim/model/flash/flash_store.h"

#include <cstdint>
#include <string>
#include <vector>

namespace qxsim {

constexpr uint32_t IMAGE_HEADER_SIZE = 64;
constexpr uint32_t IMAGE_TRAILER_SIZE = 8;

struct MadeUpImage {
    const char* file;  // name in the firmware folder ("" for the factory image)
    const char* name;  // name in the header
    uint32_t payload;  // payload bytes
    uint32_t seed;
};

extern const MadeUpImage factory_image;
extern const MadeUpImage release_images[3];

std::vector<uint8_t> make_image(const MadeUpImage& image);

// Write the three release images into `dir` (which must exist).
bool write_release_images(const std::string& dir, std::string* error);

enum class ImageCheck { unrecognised, intact, damaged };

// Judge the content at `base`, which must not extend past `end`; fills
// `name` (32 bytes) with the header's name when the header is recognised.
ImageCheck check_image(const FlashStore& store, uint32_t base, uint32_t end, char* name);

}  // namespace qxsim
