// Waveform pictures of a result or a source, written as 8-bit BMP files.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bitmap/bitmap8.h"
#include "base/format.h"
#include "engine/result_writer.h"
#include "engine/run_state.h"

// Trace styles, the values of bitmapMode.
inline constexpr int kStyleAverage = 1;
inline constexpr int kStylePeakToPeak = 3;

// A picture being gathered while the samples it shows pass by, block after block. Each column
// of the plot keeps only its scaled values; the canvas is drawn and written at the end.
struct WavePicture : StepObserver {
    const Settings* options = nullptr;
    RunState* state = nullptr;
    std::string name;        // the picture file
    std::string resultName;  // the file the picture shows, which it never replaces (empty: a source)
    bool besideDevice = false;  // named after standard input, a pipe or a device: it is not made
    int channels;
    int bytes;           // bytes per sample
    int64_t blockAlign;  // bytes from one step to the next
    int64_t steps;       // steps the picture is made of
    int64_t g;           // steps to a column
    int64_t columns;
    int style;
    int64_t fed;  // steps seen so far
    struct Trace {
        int32_t low, high;
        int64_t sum;
        int64_t count;                // samples in the column being gathered
        std::vector<int16_t> a, b;    // per column: lo and hi, or the average point in a
    } trace[2];

    void feed(const uint8_t* data, int64_t steps) override;
    void finish() override;
};

struct Settings;

// Starts the picture of `steps` steps in `format`, to be named after `name`, in the style and
// size the options give, for the result `resultName` (empty for a source). The first picture of
// the run chooses the samples per pixel, which hold for every later one.
std::unique_ptr<WavePicture> startPicture(const Settings& options, RunState& state, const std::string& name,
                                          const FormatInfo& format, int64_t steps, const std::string& resultName);
// Feeds the next `steps` steps (blockAlign bytes apart).
void feedPicture(WavePicture& picture, const uint8_t* data, int64_t steps);
// Draws and writes the picture, unless it would replace one of the run's source files or its own
// result, and logs its report lines.
void finishPicture(WavePicture& picture);

// The picture's file name: `name` itself when its extension is ".BMP" in any case, otherwise
// `name` with its extension replaced by (or, without one, followed by) ".BMP".
std::string pictureName(const char* name);

// The zero axis over `columns` plot columns, a grid line every `spacing` columns and the frame.
void plotFrame(Bitmap8* canvas, uint8_t colour, int64_t columns, int64_t spacing);

// Draws one channel's trace over total / g columns, g samples of the channel to a column, in
// the peak-to-peak style (3) or as the average line (any other style). Returns 0, or -1 for a
// layout it cannot read (bytes outside 1..4, g below 1, no such channel).
int wavePlot(Bitmap8* canvas, uint8_t colour, int style, const uint8_t* samples, int64_t total, int bytes,
             int channels, int channel, int64_t g);
