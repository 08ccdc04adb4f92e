// How a Windows process receives its arguments and environment: one command
// line string that the child's C runtime splits again, and one block of
// NUL-terminated "NAME=VALUE" strings. Plain string work, so it is built
// and tested on every platform; only the Windows launcher uses it.
#ifndef AURVANE_PROCESS_COMMAND_LINE_H_
#define AURVANE_PROCESS_COMMAND_LINE_H_

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace aurvane {

// `arg` quoted so that CommandLineToArgvW and the C runtime give back exactly
// `arg`: left alone when it is non-empty and holds no blank or quote;
// otherwise in quotes, with the backslashes before a quote (or before the
// closing quote) doubled and each quote escaped.
std::wstring QuoteWindowsArgument(std::wstring_view arg);

// The quoted arguments joined by single spaces; args[0] is the program.
std::wstring BuildWindowsCommandLine(const std::vector<std::wstring>& args);

// A Unicode environment block: the entries of `inherited` (a block as
// GetEnvironmentStringsW returns it: NUL-terminated entries, then one more
// NUL) minus those whose name matches an override, ignoring ASCII case as
// Windows does, followed by the overrides in order. Entries that begin with
// '=' (the per-drive working directories) are kept.
std::wstring BuildWindowsEnvironmentBlock(std::wstring_view inherited,
                                          const std::vector<std::pair<std::wstring, std::wstring>>& overrides);

}  // namespace aurvane

#endif  // AURVANE_PROCESS_COMMAND_LINE_H_
