// What a run learns as it goes. The options stay as the parser left them; each of these is
// written in one place, named beside it with its readers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/commit.h"
#include "platform/platform.h"

// A file the run reads, as it was when opened: its name, when the name can be looked at again
// (a stream's cannot), and its identity, length and times.
struct SourceSeen {
    std::string name;
    bool byName = false;
    platform::FileInfo status;
};

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
    // The files the run reads, and the existing files its results replace, by device and inode
    // (so that other names of them count): a result never lands on a source it was not named
    // for, nor two results on one file. Written by readSource and beginResult; read by
    // beginResult.
    std::vector<SourceSeen> sources;
    std::vector<platform::FileId> replaced;
    // The complete results and pictures, waiting to be put in place together when the run has
    // made them all. Written by writeResult and the picture's writer; committed by the driver.
    // A run that ends on the way drops them, leaving every destination as it was.
    HeldOutputs held;
};
