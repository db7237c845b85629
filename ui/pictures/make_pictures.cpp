// Draws the application icon (32 x 32, 256 colours) and the About-page picture (86 x 108, 24-bit)
// and writes them as plovane.ico and about.bmp into the folder named on the command line. Built
// and run on the build machine, so the pictures come from this source and nothing else.
#include <cmath>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Rgb {
    uint8_t r, g, b;
};

void Put16(std::vector<uint8_t>& out, unsigned v) {
    out.push_back(v & 0xFF);
    out.push_back((v >> 8) & 0xFF);
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

// Messenger-blue ground, an Actions menu of three lines, and a green plus that adds to it.
Rgb Shade(double x, double y, double w, double h) {
    const double cx = x / w, cy = y / h;
    const double r = std::hypot(cx - 0.5, cy - 0.5);
    Rgb c{static_cast<uint8_t>(30 + 40 * cy), static_cast<uint8_t>(90 + 70 * (1 - cy)), 200};
    if (r > 0.49) return Rgb{255, 255, 255};
    const bool menuLine = cx > 0.22 && cx < 0.66 &&
                          (std::fabs(cy - 0.30) < 0.045 || std::fabs(cy - 0.48) < 0.045 ||
                           std::fabs(cy - 0.66) < 0.045);
    if (menuLine) return Rgb{255, 255, 255};
    const bool plus = (std::fabs(cx - 0.74) < 0.05 && std::fabs(cy - 0.70) < 0.16) ||
                      (std::fabs(cy - 0.70) < 0.05 && std::fabs(cx - 0.74) < 0.16);
    if (plus) return Rgb{60, 200, 80};
    return c;
}

// The 6 x 6 x 6 colour cube, then a ramp of greys: 256 entries.
std::vector<Rgb> Palette() {
    std::vector<Rgb> p;
    for (int r = 0; r < 6; ++r)
        for (int g = 0; g < 6; ++g)
            for (int b = 0; b < 6; ++b)
                p.push_back(Rgb{uint8_t(r * 51), uint8_t(g * 51), uint8_t(b * 51)});
    for (int i = 0; p.size() < 256; ++i)
        p.push_back(Rgb{uint8_t(i * 6), uint8_t(i * 6), uint8_t(i * 6)});
    return p;
}

uint8_t Nearest(const std::vector<Rgb>& palette, Rgb c) {
    int best = 0;
    long bestDistance = 1L << 30;
    for (int i = 0; i < static_cast<int>(palette.size()); ++i) {
        const long dr = palette[i].r - c.r, dg = palette[i].g - c.g, db = palette[i].b - c.b;
        const long d = dr * dr + dg * dg + db * db;
        if (d < bestDistance) bestDistance = d, best = i;
    }
    return static_cast<uint8_t>(best);
}

void PutInfoHeader(std::vector<uint8_t>& out, int w, int h, int bpp, uint32_t imageBytes,
                   uint32_t colours) {
    Put32(out, 40);
    Put32(out, static_cast<uint32_t>(w));
    Put32(out, static_cast<uint32_t>(h));
    Put16(out, 1);
    Put16(out, bpp);
    Put32(out, 0);  // BI_RGB: uncompressed
    Put32(out, imageBytes);
    Put32(out, 2835);
    Put32(out, 2835);
    Put32(out, colours);
    Put32(out, 0);
}

std::vector<uint8_t> Icon() {
    constexpr int n = 32;
    const auto palette = Palette();
    std::vector<uint8_t> image;
    const uint32_t xorBytes = n * n, andBytes = n * 4;
    PutInfoHeader(image, n, n * 2, 8, xorBytes + andBytes, 256);
    for (const Rgb& c : palette)
        image.insert(image.end(), {c.b, c.g, c.r, 0});
    for (int y = n - 1; y >= 0; --y)
        for (int x = 0; x < n; ++x)
            image.push_back(Nearest(palette, Shade(x + 0.5, y + 0.5, n, n)));
    for (int y = n - 1; y >= 0; --y) {  // transparent outside the disc
        for (int byte = 0; byte < 4; ++byte) {
            uint8_t bits = 0;
            for (int bit = 0; bit < 8; ++bit) {
                const int x = byte * 8 + bit;
                if (std::hypot((x + 0.5) / n - 0.5, (y + 0.5) / n - 0.5) > 0.49)
                    bits |= 0x80 >> bit;
            }
            image.push_back(bits);
        }
    }
    std::vector<uint8_t> file;
    Put16(file, 0);
    Put16(file, 1);  // an icon
    Put16(file, 1);  // one image
    file.insert(file.end(), {n, n, 0, 0});
    Put16(file, 1);
    Put16(file, 8);
    Put32(file, static_cast<uint32_t>(image.size()));
    Put32(file, 6 + 16);
    file.insert(file.end(), image.begin(), image.end());
    return file;
}

Rgb AboutPixel(int x, int y) {
    constexpr int w = 86;
    if (y >= 92 && y < 100 && x >= 13 && x < 73) {
        return (x - 13) % 12 < 8 ? Rgb{30, 90, 200} : Rgb{60, 200, 80};  // the range's band
    }
    return y < 86 ? Shade(x + 0.5, y + 0.5, w, 86) : Rgb{240, 240, 240};
}

// Stored as the window's design has it: uncompressed, 24 bits per pixel, no palette.
std::vector<uint8_t> AboutBitmap() {
    constexpr int w = 86, h = 108;
    const int stride = (w * 3 + 3) & ~3;
    std::vector<uint8_t> file;
    file.push_back('B');
    file.push_back('M');
    Put32(file, static_cast<uint32_t>(14 + 40 + stride * h));
    Put32(file, 0);
    Put32(file, 14 + 40);
    PutInfoHeader(file, w, h, 24, static_cast<uint32_t>(stride * h), 0);
    for (int y = h - 1; y >= 0; --y) {
        for (int x = 0; x < w; ++x) {
            const Rgb c = AboutPixel(x, y);
            file.insert(file.end(), {c.b, c.g, c.r});
        }
        file.insert(file.end(), static_cast<size_t>(stride - w * 3), 0);
    }
    return file;
}

bool Write(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    const std::string folder = argv[1];
    return Write(folder + "/plovane.ico", Icon()) && Write(folder + "/about.bmp", AboutBitmap())
               ? 0
               : 1;
}
