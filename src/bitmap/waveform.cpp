#include "bitmap/waveform.h"

#include <climits>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <algorithm>

#include "base/options.h"
#include "platform/platform.h"
#include "base/log.h"

namespace {

// Picture geometry: a 10-pixel left margin, a 4-pixel right margin, and the zero axis at row
// 131 with 128 rows above and below it inside the frame.
constexpr int32_t kLeftMargin = 10;
constexpr int32_t kSideMargins = 14;
constexpr int32_t kPictureHeight = 263;
constexpr int32_t kAxisRow = 131;
constexpr int32_t kHalfHeight = 128;
constexpr int32_t kGridSpacing = 100;
// No plot wider than this has a BMP file that fits the 32-bit size fields.
constexpr int64_t kWidestPlot = (INT32_MAX - kBmpPixelOffset) / kPictureHeight - kSideMargins;

template <int Bytes>
inline int32_t readSample(const uint8_t* p) {
    if constexpr (Bytes == 1) {
        return static_cast<int32_t>(p[0]) - 128;  // unsigned 8-bit PCM, silence at 128
    } else if constexpr (Bytes == 2) {
        return readInt16(p);
    } else if constexpr (Bytes == 3) {
        int32_t v = static_cast<int32_t>(p[0] | (p[1] << 8) | (p[2] << 16));
        return (v ^ 0x800000) - 0x800000;  // sign-extend 24 bits
    } else {
        return readInt32(p);
    }
}

// Scales a sample value to -128..127 plot units.
template <int Bytes>
constexpr int64_t kDivisor = Bytes == 1   ? 1
                             : Bytes == 2 ? 256
                             : Bytes == 3 ? 65536
                                          : 16777216;

// Colours rows top..bottom (inclusive) of column x.
inline void plotRows(Bitmap8* canvas, uint8_t colour, int32_t x, int64_t top, int64_t bottom) {
    bitmapVRun(canvas, colour, x, static_cast<int32_t>(top), static_cast<int32_t>(bottom - top + 1));
}

// Joins the average line's point y in column x to the previous column's point prev: the run
// goes in the column of the larger magnitude, and a change of sign crosses the axis row in
// both columns.
void joinAverage(Bitmap8* canvas, uint8_t colour, int32_t x, int64_t prev, int64_t y) {
    const int64_t a = kAxisRow;
    if (prev == 0) {
        if (y > 0) plotRows(canvas, colour, x, a - y, a - 1);
        if (y < 0) plotRows(canvas, colour, x, a + 1, a - y);
    } else if (y == 0) {
        if (prev > 0) plotRows(canvas, colour, x - 1, a - prev, a - 1);
        if (prev < 0) plotRows(canvas, colour, x - 1, a + 1, a - prev);
    } else if ((prev > 0) != (y > 0)) {
        if (prev > 0) {
            plotRows(canvas, colour, x - 1, a - prev, a);
            plotRows(canvas, colour, x, a, a - y);
        } else {
            plotRows(canvas, colour, x - 1, a, a - prev);
            plotRows(canvas, colour, x, a - y, a);
        }
    } else if (std::abs(y) > std::abs(prev)) {
        if (y > 0) {
            plotRows(canvas, colour, x, a - y, a - 1 - prev);
        } else {
            plotRows(canvas, colour, x, a + 1 - prev, a - y);
        }
    } else if (y > 0) {
        plotRows(canvas, colour, x - 1, a - prev, a - 1 - y);
    } else {
        plotRows(canvas, colour, x - 1, a + 1 - y, a - prev);
    }
}

// A finished column's scaled values: lo and hi for the peak-to-peak style, the average point
// (in lo) for the average line. Each scaling divides truncating toward zero.
template <typename Sum>
inline void scaleColumn(int style, int64_t divisor, int32_t low, int32_t high, Sum sum, int64_t g, int64_t& lo,
                        int64_t& hi) {
    if (style == kStylePeakToPeak) {
        lo = low / divisor;
        hi = high / divisor;
    } else {
        const double mean = static_cast<double>(sum) / static_cast<double>(g);
        lo = static_cast<int64_t>(std::trunc(mean)) / divisor;
        hi = lo;
    }
}

// Draws column `col` of a trace; `prev` is the previous column's average point.
inline void drawColumn(Bitmap8* canvas, uint8_t colour, int style, int64_t col, int64_t lo, int64_t hi,
                       int64_t& prev) {
    const int32_t x = static_cast<int32_t>(kLeftMargin + col);
    if (style == kStylePeakToPeak) {
        bitmapVRun(canvas, colour, x, static_cast<int32_t>(kAxisRow - hi), static_cast<int32_t>(hi - lo + 1));
        return;
    }
    if (col > 0 && lo != prev) joinAverage(canvas, colour, x, prev, lo);
    bitmapSetPixel(canvas, colour, x, static_cast<int32_t>(kAxisRow - lo));
    prev = lo;
}

template <int Bytes>
void plotTrace(Bitmap8* canvas, uint8_t colour, int style, const uint8_t* cursor, int64_t columns,
               int64_t step, int64_t g) {
    // Integer sums of 8-, 16- and 24-bit samples stay far below 2^53, where a double sum would
    // be just as exact; 32-bit samples are summed in double so that rounding matches.
    using Sum = std::conditional_t<Bytes == 4, double, int64_t>;
    int64_t prev = 0;
    for (int64_t col = 0; col < columns; col++) {
        int32_t low = INT32_MAX;
        int32_t high = INT32_MIN;
        Sum sum = 0;
        for (int64_t i = 0; i < g; i++) {
            int32_t v = readSample<Bytes>(cursor);
            cursor += step;
            sum += v;
            low = v < low ? v : low;
            high = v > high ? v : high;
        }
        int64_t lo, hi;
        scaleColumn(style, kDivisor<Bytes>, low, high, sum, g, lo, hi);
        drawColumn(canvas, colour, style, col, lo, hi, prev);
    }
}

uint8_t traceColour(int channels, int c) {
    if (channels > 1 && c == 0) return kColourMaroon;
    if (channels > 1 && c == 1) return kColourNavy;
    return kColourBlack;
}

// True when the picture would replace a file this run reads: the same name as a source, or
// the same file reached under another name.
bool isSourceFile(const std::string& picture, const RunState& state) {
    platform::FileInfo pictureStat;
    const bool pictureExists = platform::statPath(picture, pictureStat) == 0;
    for (const std::string& source : state.fileNames) {
        if (picture == source) return true;
        platform::FileInfo sourceStat;
        if (pictureExists && platform::statPath(source, sourceStat) == 0 && sourceStat.device == pictureStat.device &&
            sourceStat.inode == pictureStat.inode) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::string pictureName(const char* name) {
    std::string picture(name);
    size_t base = platform::baseNameStart(picture);
    size_t dot = picture.rfind('.');
    if (dot != std::string::npos && dot >= base) {
        if (platform::compareIgnoringCase(picture.c_str() + dot, ".BMP") == 0) return picture;
        picture.erase(dot);
    }
    return picture + ".BMP";
}

void plotFrame(Bitmap8* canvas, uint8_t colour, int64_t columns, int64_t spacing) {
    if (columns > INT32_MAX - kSideMargins) return;  // wider than any canvas
    const int32_t p = static_cast<int32_t>(columns);
    bitmapHRun(canvas, colour, kLeftMargin, kAxisRow, p);
    // Grid lines stop before column `columns` itself, not at the right edge of the plot.
    if (spacing > 1) {
        for (int64_t x = spacing + kLeftMargin; x < columns; x += spacing) {
            bitmapVRun(canvas, colour, static_cast<int32_t>(x), kAxisRow - kHalfHeight, 2 * kHalfHeight + 1);
        }
    }
    bitmapRectAround(canvas, colour, kLeftMargin, kAxisRow, p, kHalfHeight);
}

int wavePlot(Bitmap8* canvas, uint8_t colour, int style, const uint8_t* samples, int64_t total, int bytes,
             int channels, int channel, int64_t g) {
    if (bytes < 1 || bytes > 4 || g < 1 || channels < 0 || channel < 0 || channel >= channels) return -1;
    const int64_t columns = total / g;
    const int64_t step = static_cast<int64_t>(bytes) * channels;
    const uint8_t* cursor = samples + static_cast<int64_t>(bytes) * channel;
    switch (bytes) {
        case 1:
            plotTrace<1>(canvas, colour, style, cursor, columns, step, g);
            break;
        case 2:
            plotTrace<2>(canvas, colour, style, cursor, columns, step, g);
            break;
        case 3:
            plotTrace<3>(canvas, colour, style, cursor, columns, step, g);
            break;
        default:
            plotTrace<4>(canvas, colour, style, cursor, columns, step, g);
            break;
    }
    return 0;
}

std::unique_ptr<WavePicture> startPicture(const Settings& options, RunState& state, const std::string& name,
                                          const FormatInfo& format, int64_t steps, const std::string& resultName) {
    auto picture = std::make_unique<WavePicture>();
    picture->options = &options;
    picture->state = &state;
    picture->name = pictureName(name.c_str());
    picture->resultName = resultName;
    // A picture belongs beside a file: one named after a stream or a device ("-", /dev/stdin,
    // /dev/null) would land among the devices or in the current folder under a dash.
    platform::FileInfo pictured;
    picture->besideDevice = name == "-" || (platform::statPath(name, pictured) == 0 && !pictured.regular);
    picture->channels = format.channels;
    picture->bytes = format.bitsPerSample / 8;
    picture->blockAlign = format.blockAlign;
    picture->steps = steps;
    picture->style = options.bitmapMode;
    picture->fed = 0;

    // Samples per pixel: a value already chosen (or given) holds for every picture of the run;
    // otherwise the fewest that keep the plot within bitmapWidth columns.
    int64_t g;
    if (options.bitmapReduce > 0) {
        g = options.bitmapReduce;
    } else if (state.samplesPerPixel > 0) {
        g = state.samplesPerPixel;
    } else {
        const int64_t limit = options.bitmapWidth > 0 ? options.bitmapWidth : 1;
        g = steps > limit ? (steps + limit - 1) / limit : 1;
        if (g > INT32_MAX) g = INT32_MAX;
        // The next picture of the run (lrsprit's right channel) takes it from here.
        state.samplesPerPixel = g;
    }
    picture->g = g;
    picture->columns = steps / g;
    // A plot too wide for any canvas is not gathered at all; finishing it reports the warning.
    const bool drawable = picture->columns <= kWidestPlot;
    for (int c = 0; c < picture->channels && c < 2; c++) {
        WavePicture::Trace& t = picture->trace[c];
        t.low = INT32_MAX;
        t.high = INT32_MIN;
        t.sum = 0;
        t.count = 0;
        if (drawable) {
            t.a.reserve(static_cast<size_t>(picture->columns));
            if (picture->style == kStylePeakToPeak) t.b.reserve(static_cast<size_t>(picture->columns));
        }
    }
    return picture;
}

void feedPicture(WavePicture& picture, const uint8_t* data, int64_t steps) {
    if (picture.columns > kWidestPlot) return;
    // Only the first columns * g steps are drawn; the rest (fewer than g) are left out.
    const int64_t wanted = picture.columns * picture.g;
    if (picture.fed + steps > wanted) steps = std::max<int64_t>(0, wanted - picture.fed);
    picture.fed += steps;
    const int64_t divisor = picture.bytes == 1 ? 1 : 256;
    for (int c = 0; c < picture.channels && c < 2; c++) {
        WavePicture::Trace& t = picture.trace[c];
        const uint8_t* p = data + c * picture.bytes;
        for (int64_t s = 0; s < steps; s++, p += picture.blockAlign) {
            const int32_t v = picture.bytes == 1 ? readSample<1>(p) : readSample<2>(p);
            t.sum += v;
            t.low = v < t.low ? v : t.low;
            t.high = v > t.high ? v : t.high;
            if (++t.count == picture.g) {
                int64_t lo, hi;
                scaleColumn(picture.style, divisor, t.low, t.high, t.sum, picture.g, lo, hi);
                t.a.push_back(static_cast<int16_t>(lo));
                if (picture.style == kStylePeakToPeak) t.b.push_back(static_cast<int16_t>(hi));
                t.low = INT32_MAX;
                t.high = INT32_MIN;
                t.sum = 0;
                t.count = 0;
            }
        }
    }
}

void WavePicture::feed(const uint8_t* data, int64_t steps) { feedPicture(*this, data, steps); }

void WavePicture::finish() { finishPicture(*this); }

void finishPicture(WavePicture& picture) {
    const std::string& name = picture.name;
    const int64_t columns = picture.columns;
    bool written = false;
    // A picture never takes the place of a source, nor of the result it pictures (a destination
    // named with the picture's extension).
    const bool clashes = isSourceFile(name, *picture.state) || name == picture.resultName || picture.besideDevice;
    if (!clashes && columns <= kWidestPlot) {
        Bitmap8* canvas = bitmapCreate(static_cast<int32_t>(columns + kSideMargins), kPictureHeight, name.c_str());
        if (canvas != nullptr) {
            plotFrame(canvas, kColourLightGrey, columns, kGridSpacing);
            for (int c = 0; c < picture.channels && c < 2; c++) {
                const WavePicture::Trace& t = picture.trace[c];
                int64_t prev = 0;
                for (int64_t col = 0; col < static_cast<int64_t>(t.a.size()); col++) {
                    const int64_t hi = picture.style == kStylePeakToPeak ? t.b[col] : t.a[col];
                    drawColumn(canvas, traceColour(picture.channels, c), picture.style, col, t.a[col], hi, prev);
                }
            }
            written = bitmapWrite(canvas, picture.state->held, [name](const OutputFile&) {
                          logLine(kLevelWarning, "W [BITMAP] cannot output [%s]", name.c_str());
                      }) == 0;
            bitmapRelease(canvas);
        }
    }
    if (!written) logLine(kLevelWarning, "W [BITMAP] cannot output [%s]", name.c_str());

    logLine(kLevelInfo, "  [BITMAP] Output BMP  :           %s", name.c_str());
    if (picture.style == kStylePeakToPeak) {
        logLine(kLevelInfo, "  [BITMAP]     Mode    :           Peak to Peak Line");
    } else {
        logLine(kLevelInfo, "  [BITMAP]     Mode    :           Average Line");
    }
    logLine(kLevelInfo, "  [BITMAP]     Samples : %9lld samples", static_cast<long long>(picture.steps));
    logLine(kLevelInfo, "  [BITMAP]     Width   : %9lld pixel", static_cast<long long>(columns));
    logLine(kLevelInfo, "  [BITMAP]     Reduce  : %9lld samples/pixel", static_cast<long long>(picture.g));
}
