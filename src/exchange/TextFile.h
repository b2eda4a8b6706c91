#pragma once
// Numbers and lines of the engine's text data files (calibration files, text exports and
// imports), and the atomic write they are saved with. Numbers are read and written the same
// way whatever the process locale is: a German desktop must not turn "1000.5" into 1000 or
// write "-3,25" where "-3.25" belongs.

#include <cstddef>
#include <functional>
#include <streambuf>
#include <string>
#include <string_view>
#include <vector>

namespace Kedra {

// Splits on runs of any of the separator characters; no empty tokens, so leading and
// trailing separators add nothing.
std::vector<std::string_view> Tokenize(std::string_view text, std::string_view separators);

namespace Text {

// The product's address, written in the header of the text files.
inline constexpr const char* PRODUCT_WEB_ADDRESS = "https://sonvel.example.org";

// atof in the "C" locale: leading white space, an optional sign, then the longest prefix
// that forms a number (decimal, hexadecimal "0x", "inf", "nan"); nothing readable gives 0,
// a value beyond the double range gives +-infinity or +-0 as strtod would.
double ParseNumber(std::string_view text);

// The default formatting of a C++ stream (%g, 6 significant digits) in the "C" locale.
std::string FormatNumber(double x);
void AppendNumber(std::string& out, double x);
// x with `decimals` digits after the point ('.' whatever the locale), like "%.*f".
std::string FormatFixed(double x, int decimals);
// Without leading and trailing blanks, tabs and line ends.
std::string_view TrimBlanks(std::string_view s);

// Reads only, never copies: lets the line reader run over text held in memory.
class MemoryStreamBuf : public std::streambuf {
public:
    explicit MemoryStreamBuf(std::string_view text);
};

// Lines of a text data file, at most MAX_LINE characters each. A line ends at "\n" or
// "\r\n" (files written on Windows read the same), and the last line needs no line end.
// A longer line is cut: its first MAX_LINE characters are the last line read.
class LineReader {
public:
    static constexpr std::size_t MAX_LINE = 79;

    explicit LineReader(std::streambuf& in) : in_(in) {}

    bool Next(std::string& line);
    bool WasCut() const { return cut_; }
    // Lines handed out so far.
    int LineNumber() const { return lineNumber_; }

private:
    std::streambuf& in_;
    bool done_ = false;
    bool cut_ = false;
    int lineNumber_ = 0;
};

// The data columns of one line: text after a NUL is ignored, leading blanks and tabs are
// removed, and only a line that then starts with a digit is data (true). Its tokens are
// split on `separators`, and every ',' is read as '.' so that decimal commas work.
bool SplitDataLine(std::string_view line, std::string_view separators,
                   std::vector<std::string>& tokens);

// Writes the whole file or nothing: the contents go to a new file beside the target, which
// then replaces the target in one rename. A new file gets the usual permissions (0666 less
// the umask), a replaced one keeps its own. On failure `error` says why.
bool WriteFileAtomically(const std::string& path, std::string_view contents, std::string& error);

// The new file such a save writes first: `path` + ".tmp" + process id + "-" + a counter,
// created exclusively with the permissions of the file it will replace (0666 less the umask
// for a new one). The descriptor, or -1 with `error` set.
int CreateTemporaryBeside(const std::string& path, std::string& temp, std::string& error);
// Makes a rename into the directory of `path` durable.
void SyncDirectoryOf(const std::string& path);
// Removes the temporaries that saves of `path` left when their process was killed; those of
// processes still running stay. Returns how many were removed.
int RemoveStaleTemporaries(const std::string& path);

// Opens `path` as a regular file (a directory or a pipe, which could block forever, is
// refused) and hands its stream to `read`. A refusal or a read error writes one line
// "WARNING " + who + " : " + reason + " -> " + consequence and gives false.
bool ReadRegularFile(const std::string& path, const std::string& who,
                     const std::string& consequence,
                     const std::function<bool(std::streambuf&)>& read);

// The order that sorts `values` ascending, equal ones kept in their order.
std::vector<std::size_t> StableAscendingOrder(const std::vector<double>& values);

} // namespace Text
} // namespace Kedra
