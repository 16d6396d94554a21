#include "base/log.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "base/options.h"
#include "platform/platform.h"

std::string MessageBuffer;

namespace {

const char kUsageUtf8[] = R"(
QOR WAVE-Utility Ver.2.32
 usage : qor.exe <operation> [options] filename [filename2] [filename3]
 operation:                                 options         f2      f3
  + info                PCMデータ解析表示   /DVR            -       -
  + ask                 PCMデータ解析非表示 /DVR            -       -
  + compare             PCMを比較           /oOV2t          src2    -
  + mix                 PCMを加算Mix        /oOV2Wt         src2    dest
  + subtract            PCMを減算Mix        /oOV2Wt         src2    dest
  + boost               PCM音量をUp/Down    /mMB                    dest
  + max                 PCM音量をMaxに増幅                          dest
  + add                 PCM電圧をUp/Down    /v                      dest
  + reverse             逆相化              -                       dest
  + back                逆再生              -                       dest
  + l2mono              左側をモノ抽出      -                       dest
  + r2mono              右側をモノ抽出      -                       dest
  + lrmono              加算によるモノ化    -                       dest
  + ccancel             減算によるモノ化    -                       dest
  + lrsprit             ステレオを分割      -                       dest
  + lrcombine           ステレオに結合      /oO             src2    dest
    compress            高音量部を圧縮      /Mt                     dest
  + vcompress           高電圧部を圧縮      /Mt                     dest
  + combine             PCMを連結           /L              src2    dest
    noisecut            小音量部Mute        /tL                     dest
    delsilent           無音削除            /tL                     dest
  + inssilent           無音挿入            /L                      dest
  + cut                 削除                /L                      dest
  + head                先頭抽出            /L                      dest
    fade                フェードI/O         /LM                     dest
    click               クリック音付加      /oOL2                   dest
  - convert             変換                /bf                     dest
  + sb8convert          簡易8bit変換                                dest
    importnaked         PC8/PPI/PHL入力     /bf                     dest
  + lofi                Lo-Fi               /bf                     dest
 options:
  + 汎用          /D    デバッグモード
  + 汎用          /V    詳細情報表示
  + 汎用          /F    強制続行
  + 汎用          /2    閾値判定を片chではなく両chが成立した時点とする
  + 汎用          /T    閾値判定を後方で行う
  + 汎用          /W    出力ファイル名destをsrc1と同名とする(上書きモード)
  + 汎用          /S    モードとエラー以外の情報を表示しない
    汎用          /s    ステレオリンクする
    汎用          /8    8bit出力時にsignedとする default=unsigned
  + 汎用          /N    PCMデータのみを出力 拡張子はPPI(8bit)/PHL(16bit)
  + 汎用          /t*   無音部位識別用閾値(絶対値)
  + 汎用          /G*   波形BMPを出力 圧縮時は最大/最小値 正:幅 負:倍率
  + 汎用          /g*   波形BMPを出力 圧縮時は平均値
  + add           /v*   加算電圧
  + boost         /B#   実数倍率 単位:dB
  + boost         /M#   実数倍率 無単位
  + boost         /m*   整数倍率 無単位 負の場合は絶対値で除算する
  + v/compress    /M#   実数圧縮率 無単位
  + info          /m*   /Vにおける表示範囲を指定数×16stepsとする
  + mix/subtract  /O*   src2がsrc1に対して再生開始を遅らせる絶対offset
  + mix/subtract  /o*   自動検出に対する相対offset
  + inssilent     /L*   先頭に挿入する長さ(steps) 負の場合は末尾
  + cut/head      /L*   先頭を削除/抽出する長さ(steps) 負の場合は末尾
    click         /L*   始点からclick迄の長さ(steps) 負の場合は有意音声始点から
    fade          /L*   始点からfadein迄の長さ(steps) 負の場合はfadeout
  + combine       /L*   データ間に挿入する無音(steps)
  + 汎用          /R@   戻り値 /RC:ch数 /RB:bitrate
  - convert/lofi  /b*   出力ビットレート
  - convert/lofi  /f*   出力サンプリング周波数
    convert       /-@   出力フォーマット 省略時RIFF

    allready functions has [+] mark.
    restrictively or instability functions has [-] mark.
    follow integer numerics options has [*] mark.
    follow realnumerics options has [#] mark.
    follow strings options has [@] mark.
    not ready functions has no mark.
)";

void writeLine(FILE* stream, const std::string& text) {
    platform::writeText(stream, text);
    if (text.back() != '\n') platform::writeText(stream, "\n");
    fflush(stream);
}

void formatInto(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int length = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length < 0) {
        MessageBuffer.clear();
        return;
    }
    MessageBuffer.resize(static_cast<size_t>(length) + 1);
    vsnprintf(MessageBuffer.data(), MessageBuffer.size(), format, args);
    // The line is a C string: a zero byte formatted into it (a "%c" of a zero byte) ends it.
    MessageBuffer.resize(strlen(MessageBuffer.c_str()));
}

}  // namespace

std::string escapeControls(const std::string& text) {
    std::string shown;
    shown.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7F) {
            shown += c;
            continue;
        }
        static constexpr char kDigits[] = "0123456789abcdef";
        shown += "\\x";
        shown += kDigits[byte >> 4];
        shown += kDigits[byte & 0xF];
    }
    return shown;
}

bool logLevelShown(int level) { return level <= settings.stderrThreshold || level <= settings.stdoutThreshold; }

namespace {

// Lines logged while the command line is read wait here, each with the stream it was meant for
// when it was logged, until the whole command line tells whether standard output carries a result.
struct HeldLine {
    bool toStandardOutput;
    std::string text;
};
std::vector<HeldLine> heldLines;
bool holdingLines = false;
// Standard output carries a result: the lines meant for it go to the error stream instead.
bool standardOutputTaken = false;

void writeLogLine(bool toStandardOutput, const std::string& text) {
    FILE* stream = toStandardOutput && !standardOutputTaken ? stdout : stderr;
    // Keep the two streams in program order when both go to one place.
    fflush(stream == stdout ? stderr : stdout);
    writeLine(stream, text);
}

void writeHeldLines() {
    std::vector<HeldLine> lines = std::move(heldLines);
    heldLines.clear();
    for (const HeldLine& line : lines) writeLogLine(line.toStandardOutput, line.text);
}

// Writes MessageBuffer where a line of `level` goes, and empties it.
void emitMessage(int level) {
    int stream = 0;  // 2 the error stream, 1 standard output, 0 neither
    if (level <= settings.stderrThreshold) {
        stream = 2;
    } else if (level <= settings.stdoutThreshold) {
        stream = 1;
    }
    if (stream != 0 && !MessageBuffer.empty()) {
        // One line each: whatever a name or a source's bytes bring into it shows escaped. A line
        // feed that ends it is its end.
        const bool fed = MessageBuffer.back() == '\n';
        if (fed) MessageBuffer.pop_back();
        const bool plain = std::none_of(MessageBuffer.begin(), MessageBuffer.end(), [](char c) {
            return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
        });
        if (!plain) MessageBuffer = escapeControls(MessageBuffer);
        if (fed) MessageBuffer += '\n';
        if (holdingLines && level > kLevelError) {
            heldLines.push_back(HeldLine{stream == 1, MessageBuffer});
        } else {
            // A line that ends the run goes after the lines held before it.
            writeHeldLines();
            writeLogLine(stream == 1, MessageBuffer);
        }
    }
    MessageBuffer.clear();
}

}  // namespace

void holdLogLines() {
    heldLines.clear();
    holdingLines = true;
    standardOutputTaken = false;
}

void takeStandardOutput(bool taken) { standardOutputTaken = taken; }

void releaseLogLines() {
    holdingLines = false;
    writeHeldLines();
}

int logMessage(int level) {
    emitMessage(level);
    if (level == kLevelInternal) throw QorExit{-2};
    if (level == kLevelError) throw QorExit{-1};
    return 0;
}

void logLine(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    formatInto(format, args);
    va_end(args);
    logMessage(level);
}

void logFatal(const char* format, ...) {
    va_list args;
    va_start(args, format);
    formatInto(format, args);
    va_end(args);
    logMessage(kLevelError);
    throw QorExit{-1};  // not reached: level 0 always ends the run
}

void logFatalWithDetail(const std::string& line, const std::string& detail) {
    MessageBuffer = line;
    emitMessage(kLevelError);
    MessageBuffer = detail;
    emitMessage(kLevelError);
    throw QorExit{-1};
}

void logInternal(const char* format, ...) {
    va_list args;
    va_start(args, format);
    formatInto(format, args);
    va_end(args);
    logMessage(kLevelInternal);
    throw QorExit{-2};  // not reached
}

namespace {

// Whether the locale names Shift_JIS as its character set (ja_JP.SJIS, ja_JP.Shift_JIS,
// ja_JP.cp932, ...). Only the name counts: such a locale is seldom installed, and without it the
// C library would report its own ASCII character set.
// The first of the variables that is set and not empty, as the C library picks a category's
// locale; "" when none is.
std::string localeNamedBy(std::initializer_list<const char*> variables) {
    for (const char* variable : variables) {
        std::string value = platform::environmentValue(variable);
        if (!value.empty()) return value;
    }
    return {};
}

bool localeAsksForShiftJis() {
    const std::string locale = localeNamedBy({"LC_ALL", "LC_CTYPE", "LANG"});
    if (locale.empty()) return false;
    // The character set stands after the dot and before any "@modifier".
    std::string name(locale);
    const size_t dot = name.find('.');
    if (dot != std::string::npos) name.erase(0, dot + 1);
    name.erase(std::min(name.find('@'), name.size()));
    std::string key;
    for (char c : name) {
        if (c != '-' && c != '_') key += static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    for (const char* known : {"sjis", "shiftjis", "cp932", "ms932", "windows31j", "mskanji", "pck"}) {
        if (key == known) return true;
    }
    return false;
}

}  // namespace

bool localeIsJapanese() {
    const std::string locale = localeNamedBy({"LC_ALL", "LC_MESSAGES", "LANG"});
    return locale.rfind("ja", 0) == 0;
}

std::string usageText() {
    std::string text(kUsageUtf8);
    return localeAsksForShiftJis() ? platform::toShiftJis(text) : text;
}

namespace {

// Writes the usage text to `stream`, in the character set usageText chose.
void writeUsage(FILE* stream) {
    const std::string text = usageText();
    platform::writeText(stream, text, text != kUsageUtf8);
    fflush(stream);
}

}  // namespace

void printUsage(int code) {
    releaseLogLines();
    fflush(stdout);
    writeUsage(stderr);
    throw QorExit{code};
}

void printHelp() {
    flushStreams();
    writeUsage(stdout);
    throw QorExit{0};
}

std::string versionLine() {
    // The version line is the first line of the usage text that is not blank.
    const std::string text(kUsageUtf8);
    const size_t start = text.find_first_not_of('\n');
    return text.substr(start, text.find('\n', start) - start);
}

void printVersion() {
    flushStreams();
    platform::writeText(stdout, versionLine() + "\n");
    fflush(stdout);
    throw QorExit{0};
}

void initialiseStreams() {
    static char errorBuffer[1 << 16];
    static char outputBuffer[1 << 16];
    setvbuf(stderr, errorBuffer, _IOFBF, sizeof errorBuffer);
    setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);
}

void flushStreams() {
    fflush(stdout);
    fflush(stderr);
}
