#include "qxsim/model/flash/release_images.h"

#include "qxsim/model/flash/crc32.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qxsim {

namespace {

const char image_magic[8] = {'Q', 'X', 'S', 'I', 'M', 'R', 'B', 'F'};
const char image_end[4] = {'E', 'N', 'D', '!'};

void put_le32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t get_le32(const uint8_t* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

const MadeUpImage factory_image = {"", "qx_factory", 3u << 20, 0xFAC70001};

const MadeUpImage release_images[3] = {
    {"qx_lux13hs.rbf", "qx_lux13hs", (7u << 19) + 1000, 0x13A50013},
    {"qx_lux19hs.rbf", "qx_lux19hs", (4u << 20) + 3001, 0x19A50019},
    {"qx_lince5m.rbf", "qx_lince5m", (5u << 19) + 333, 0x5E1C0005},
};

std::vector<uint8_t> make_image(const MadeUpImage& image)
{
    std::vector<uint8_t> out(IMAGE_HEADER_SIZE + image.payload + IMAGE_TRAILER_SIZE, 0);
    uint8_t* p = out.data();
    std::memcpy(p, image_magic, sizeof image_magic);
    std::strncpy(reinterpret_cast<char*>(p + 8), image.name, 31);
    put_le32(p + 40, image.payload);
    put_le32(p + 44, image.seed);

    // xorshift64* stream: cheap, and different seeds give unrelated data.
    uint64_t x = 0x9E3779B97F4A7C15ull ^ image.seed;
    uint8_t* payload = p + IMAGE_HEADER_SIZE;
    for (uint32_t i = 0; i < image.payload; i += 8) {
        x ^= x >> 12;
        x ^= x << 25;
        x ^= x >> 27;
        uint64_t r = x * 0x2545F4914F6CDD1Dull;
        for (uint32_t k = 0; k < 8 && i + k < image.payload; ++k)
            payload[i + k] = static_cast<uint8_t>(r >> (8 * k));
    }
    uint8_t* trailer = payload + image.payload;
    put_le32(trailer, crc32(payload, image.payload));
    std::memcpy(trailer + 4, image_end, sizeof image_end);
    return out;
}

bool write_release_images(const std::string& dir, std::string* error)
{
    for (const MadeUpImage& image : release_images) {
        std::string path = dir + "/" + image.file;
        std::vector<uint8_t> bytes = make_image(image);
        FILE* f = std::fopen(path.c_str(), "wb");
        bool ok = f && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
        int err = errno;
        if (f && std::fclose(f) != 0)
            ok = false;
        if (!ok) {
            *error = path + ": " + std::strerror(err);
            return false;
        }
    }
    return true;
}

ImageCheck check_image(const FlashStore& store, uint32_t base, uint32_t end, char* name)
{
    uint8_t header[IMAGE_HEADER_SIZE];
    if (end - base < IMAGE_HEADER_SIZE + IMAGE_TRAILER_SIZE)
        return ImageCheck::unrecognised;
    store.read(base, header, sizeof header);
    if (std::memcmp(header, image_magic, sizeof image_magic) != 0)
        return ImageCheck::unrecognised;
    std::memcpy(name, header + 8, 32);
    name[31] = '\0';
    uint32_t payload = get_le32(header + 40);
    if (payload > end - base - IMAGE_HEADER_SIZE - IMAGE_TRAILER_SIZE)
        return ImageCheck::damaged;

    uint32_t crc = 0;
    uint8_t chunk[4096];
    uint32_t a = base + IMAGE_HEADER_SIZE;
    for (uint32_t left = payload; left > 0;) {
        uint32_t n = left < sizeof chunk ? left : sizeof chunk;
        store.read(a, chunk, n);
        crc = crc32_update(crc, chunk, n);
        a += n;
        left -= n;
    }
    uint8_t trailer[IMAGE_TRAILER_SIZE];
    store.read(a, trailer, sizeof trailer);
    if (get_le32(trailer) != crc || std::memcmp(trailer + 4, image_end, sizeof image_end) != 0)
        return ImageCheck::damaged;
    return ImageCheck::intact;
}

}  // namespace qxsim
