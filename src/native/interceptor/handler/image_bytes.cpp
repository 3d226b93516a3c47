// Walks of JPEG marker segments, PNG chunks and GIF blocks, by the lengths the
// file gives, the way libjpeg and Pillow step through them; nothing decoded.
#include "handler/image_bytes.hpp"

#include <cstring>

namespace interceptor {

namespace {

using Kind = ImageStructure::Kind;

std::size_t be16(const unsigned char* p) { return std::size_t{p[0]} << 8 | p[1]; }
std::size_t be32(const unsigned char* p) {
    return std::size_t{p[0]} << 24 | std::size_t{p[1]} << 16 | std::size_t{p[2]} << 8 | p[3];
}

// Entropy-coded data ends at the first marker that is not a stuffed 0xFF00,
// a restart marker or fill; returns where that marker's 0xFF is.
std::size_t end_of_scan_data(const unsigned char* d, std::size_t n, std::size_t i) {
    while (i + 1 < n) {
        const void* ff = std::memchr(d + i, 0xFF, n - i - 1);
        if (!ff) return n;
        i = static_cast<std::size_t>(static_cast<const unsigned char*>(ff) - d);
        const unsigned char m = d[i + 1];
        if (m == 0x00 || (m >= 0xD0 && m <= 0xD7)) i += 2;
        else if (m == 0xFF) i += 1;
        else return i;
    }
    return n;
}

void walk_jpeg(const unsigned char* d, std::size_t n, ImageStructure& s) {
    std::size_t i = 2;  // after SOI
    while (i < n) {
        const bool before_scan = s.scans == 0;
        if (d[i] != 0xFF) {  // a stray byte; Pillow reads it and goes on
            s.header_steps += before_scan;
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        while (j < n && d[j] == 0xFF) {  // fill
            s.header_steps += before_scan;
            ++j;
        }
        if (j >= n) return;
        const unsigned char m = d[j];
        s.header_steps += before_scan;
        if (m == 0xD9) return;  // EOI: a second image (MPO) is never decoded
        if (m == 0x00 || m == 0x01 || m == 0xD8 || (m >= 0xD0 && m <= 0xD7)) {  // no length
            i = j + 1;
            continue;
        }
        if (j + 2 >= n) return;
        const std::size_t length = be16(d + j + 1);
        if (length < 2) return;  // libjpeg stops there
        i = j + 1 + length;
        if (m == 0xDA) {
            ++s.scans;
            i = end_of_scan_data(d, n, i);
        }
    }
}

void walk_png(const unsigned char* d, std::size_t n, ImageStructure& s) {
    std::size_t i = 8;  // after the signature
    while (i + 8 <= n) {
        const std::size_t length = be32(d + i);
        ++s.chunks;
        if (std::memcmp(d + i + 4, "iCCP", 4) == 0) ++s.icc_profiles;
        if (std::memcmp(d + i + 4, "IEND", 4) == 0) return;
        if (length > n - i - 8) return;  // the rest is truncated
        i += 12 + length;
    }
}

void walk_gif(const unsigned char* d, std::size_t n, ImageStructure& s) {
    if (n < 13) return;
    std::size_t i = 13;  // after the screen descriptor
    if (d[10] & 0x80) i += 3 * (std::size_t{2} << (d[10] & 7));  // global colour table
    while (i < n && d[i] != 0x2C && d[i] != 0x3B) {  // up to the first frame or the trailer
        ++s.header_steps;
        if (d[i++] != 0x21) continue;  // a stray byte, read and skipped
        ++i;  // the extension's label, then data blocks up to an empty one
        while (i < n) {
            ++s.header_steps;
            const std::size_t length = d[i];
            i += 1 + length;
            if (length == 0) break;
        }
    }
}

}  // namespace

ImageStructure image_structure(const unsigned char* data, std::size_t size) noexcept {
    ImageStructure s;
    if (size >= 3 && data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF) {
        s.kind = Kind::jpeg;
        walk_jpeg(data, size, s);
    } else if (size >= 8 && std::memcmp(data, "\x89PNG\r\n\x1a\n", 8) == 0) {
        s.kind = Kind::png;
        walk_png(data, size, s);
    } else if (size >= 6 && (std::memcmp(data, "GIF87a", 6) == 0 || std::memcmp(data, "GIF89a", 6) == 0)) {
        s.kind = Kind::gif;
        walk_gif(data, size, s);
    }
    return s;
}

}  // namespace interceptor
