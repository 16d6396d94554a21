// The conditions that end a run. Each has an id here and its line, held once, in the table in
// errors.cpp; fail(id, arguments...) writes that line and ends the run.
#pragma once

#include <type_traits>

// One id per condition. The arguments each line takes are noted beside it; a tag argument is
// the stage's tag, as in "MIX".
enum class Fatal : int {
    // Command line
    kTooManyFiles,          // more file names than the run keeps
    kNameTooLong,           // name: a file name (or one made from it) longer than its buffer
    kNoDestination,         // a result is written but no file name was given
    kTooFewNames,           // given, needed: fewer file names than the operation takes

    // Sources
    kInputNotFound,         // name: the source does not exist
    kCannotOpenInput,       // name: the source exists but cannot be opened (the reason follows)
    kNoFileStatus,          // the opened source's size and time cannot be read
    kInputTooLarge,         // name: the source holds more than INT32_MAX bytes
    kSourceChanged,         // name: a source changed on disk while the run read it
    kOneStandardInput,      // name: standard input named as a second source
    kCannotSpool,           // name: a stream source cannot be copied into a temporary file
    kFileReadError,         // a read of a source failed or came to its end early
    kNotRiff,               // the source does not begin with "RIFF"
    kNotWave,               // the RIFF form is not "WAVE"
    kUnknownFormat,         // format tag: not PCM
    kUnknownDatatype,       // the format's channels, bits or sizes cannot be read as samples
    kFactMismatch,          // fact steps, data steps: the two lengths disagree

    // The operation's needs
    kFormatsDisagree,       // the two sources' formats differ where they must agree
    kNeedMono,
    kNeedStereo,
    kNeed16Bit,
    kNeed8Bit,
    kOperationNotRun,       // the sources could not be read, or do not fit the operation

    // Operations
    kTooLongTotal,          // tag: the result would be longer than a result can be
    kTooFewChannels,        // a mono measure of a source of one channel
    kUnknownMeasure,        // a mono measure without a description
    kHeadLengthZero,        // head with /L0
    kHeadTooLong,           // head longer than the source
    kCutTooLong,            // cut leaving no step
    kInsertLengthUnset,     // inssilent without /L
    kInsertTooLong,         // inssilent beyond the source's length or the largest result
    kBoostFactorUnset,      // boost without /m, /M or /B
    kBoost8Bit,             // boost or add on 8-bit samples
    kBoostUnknownBits,      // boost or add on samples neither 8- nor 16-bit
    kMix8Bit,               // mix or subtract on 8-bit samples
    kMixUnknownBits,        // mix or subtract on samples neither 8- nor 16-bit
    kVcompress8Bit,         // vcompress on 8-bit samples
    kConvertRateUnset,      // convert without /f
    kTooManyOverflows,      // tag, count: the clamped samples passed the limit (/F raises it)

    // Resources and results
    kOutOfMemory,           // an allocation failed
    kCannotOutput,          // tag, name: a result or its file cannot be written
    kCannotOutputKept,      // tag, name, backup name: the same, and the destination's old bytes
                            // could not be put back: they are kept in the backup

    // Internal consistency errors (the run ends with -2)
    kNoComparison,          // tag: a two-source operation without its comparison
    kUnknownGainRule,       // a gain pass without a rule
    kWindowBeyondBuffer,    // a sliding window asked for steps beyond its buffer
    kReadOutsideData,       // a read of steps outside the source's data
    kNotAnalysed,           // a figure of a source read that its analysis did not work out
    kResultLongerThanPlanned,
    kResultShorterThanPlanned,
    kWrongArguments,        // id, arguments given, arguments the line takes: a call of fail
                            // whose arguments do not fit its line

    kCount
};

namespace fatal_detail {

// The conversion an argument of type T fills in a line: 'd' for an integer that reaches the
// line as an int, 's' for a C string. Any other type does not compile.
template <typename T>
consteval char conversionFor() {
    using U = std::decay_t<T>;
    if constexpr (std::is_same_v<U, const char*> || std::is_same_v<U, char*>) {
        return 's';
    } else {
        static_assert(std::is_integral_v<U> && !std::is_same_v<U, bool> &&
                          (std::is_signed_v<U> ? sizeof(U) <= sizeof(int) : sizeof(U) < sizeof(int)),
                      "a fatal line takes integers no wider than int (%d) and C strings (%s)");
        return 'd';
    }
}

// The conversions of an argument list, in order: "sd" for (const char*, int).
template <typename... Args>
inline constexpr char kConversions[] = {conversionFor<Args>()..., '\0'};

}  // namespace fatal_detail

// Writes the line of `id` with `conversions` (as kConversions makes them) describing the
// arguments that follow, and ends the run. Call it through fail.
[[noreturn]] void failWith(Fatal id, const char* conversions, ...);
// The same, with a detail line after it that gives `reason` under the line's own tag.
[[noreturn]] void failWithReason(const char* reason, Fatal id, const char* conversions, ...);

// Writes the line of `id`, its conversions filled with `args` in order, at the error level and
// ends the run: with -1, or -2 for an internal consistency error. Arguments that do not fit the
// line end the run with kWrongArguments instead.
template <typename... Args>
[[noreturn]] void fail(Fatal id, Args... args) {
    failWith(id, fatal_detail::kConversions<Args...>, args...);
}

// The system's words for a failure, a negative errno value ("No space left on device").
const char* systemReason(int error);

// As fail, followed by a detail line that says why: the system's words for `error` (a negative
// errno value), or the text `reason`. "E [OUTPUT] cannot output [x.wav]" is followed by
// "  [OUTPUT] No space left on device".
template <typename... Args>
[[noreturn]] void failBecause(int error, Fatal id, Args... args) {
    failWithReason(systemReason(error), id, fatal_detail::kConversions<Args...>, args...);
}
template <typename... Args>
[[noreturn]] void failBecause(const char* reason, Fatal id, Args... args) {
    failWithReason(reason, id, fatal_detail::kConversions<Args...>, args...);
}
