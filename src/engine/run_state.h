// What a run learns as it goes. The options stay as the parser left them; each of these is
// written in one place, named beside it with its readers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct RunState {
    // The file names as read: the options' names, where a source named with ".WAV" that does not
    // exist is the ".wav" file that does. Written by readSource; read by every line that names
    // a source and by the picture's check that it never replaces a source.
    std::vector<std::string> fileNames;
    // The file the result goes to (with /W, the first source as read); empty when none is
    // written. The result plans take it unless an operation names its own files.
    std::string destination;
    // The silence threshold the sources are judged by: /t, or else the default of the first
    // source analysed (16 for 8-bit, 1024 for 16-bit). Written by analyseSource; read by the
    // analysis of a second source, compare's report and vcompress.
    int32_t silenceThreshold = 0;
    bool thresholdSettled = false;
    // The byte every step that no source covers is filled with: 0, or 128 once an 8-bit source
    // has been analysed. Written by analyseSource; read by the result writer's silence, mix,
    // lrcombine and convert.
    int32_t silenceFill = 0;
    // The samples per pixel of the first picture drawn, which later pictures of the run keep.
    // Written and read by startPicture.
    int64_t samplesPerPixel = 0;
    // Results written; the run's exit code. Written by writeResult.
    int32_t filesWritten = 0;
};
