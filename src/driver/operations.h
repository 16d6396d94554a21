// The operations: one row per operation word, with what makes its operation object.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "base/options.h"
#include "engine/operation.h"

// Option values an operation word sets before the options that follow it are read.
struct Presets {
    std::optional<int32_t> integerFactor = {};
    std::optional<int32_t> factorMode = {};
    std::optional<double> realFactor = {};
    std::optional<int32_t> addValue = {};
    std::optional<int32_t> lengthSteps = {};
    std::optional<int32_t> silenceThreshold = {};
    std::optional<int32_t> outputBits = {};
    std::optional<int32_t> outputRate = {};
    bool silent = false;  // nothing is shown, errors included (ask)
};

struct OperationRow {
    const char* word;
    const char* help;  // what it does, in one line of English for --help
    int32_t operationClass;
    int32_t operationCode;
    int32_t requirementMask;  // RequirementBit names
    const char* runLine;      // null: the word logs no "Run" line
    Presets presets;
    unsigned needs;  // what the analysis of each source must work out (AnalysisNeed bits)
    // A processing operation's object, made for one run; null for the reports.
    std::unique_ptr<Operation> (*make)() = nullptr;
    // A report's whole run (info, ask); returns the exit code.
    int (*report)(const Settings& options, RunState& state) = nullptr;
};

// Every row, in lookup order.
std::span<const OperationRow> operationRows();
// The row of `word` (letter case ignored), or null.
const OperationRow* findOperation(const char* word);
// Sets the row's presets into the options being parsed.
void applyPresets(const Presets& presets, Settings& options);
