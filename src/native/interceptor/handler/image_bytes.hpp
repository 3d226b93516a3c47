// What an image file's structure costs to read, counted from its bytes before
// Pillow opens it: the counts that decide a decode's cost where the header's
// pixel count does not.
#pragma once

#include <cstddef>

namespace interceptor {

struct ImageStructure {
    enum class Kind { other, jpeg, png, gif } kind = Kind::other;
    // JPEG: scans (SOS markers) up to the end of the first image; libjpeg
    // passes over every block of the scan's components once per scan.
    long long scans = 0;
    // JPEG: marker segments and stray bytes before the first scan; GIF:
    // extension data blocks before the first frame. Pillow reads each of
    // them in Python, one at a time, when it opens the file.
    long long header_steps = 0;
    // PNG: chunks up to IEND, each read in Python; iCCP: profiles inflated.
    long long chunks = 0;
    long long icc_profiles = 0;
};

// Never reads outside [data, data + size); a truncated file counts what it has.
ImageStructure image_structure(const unsigned char* data, std::size_t size) noexcept;

}  // namespace interceptor
