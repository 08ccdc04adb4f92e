#include "process/command_line.h"

namespace aurvane {

namespace {

bool NeedsQuotes(std::wstring_view arg) {
  if (arg.empty()) return true;
  return arg.find_first_of(L" \t\n\v\"") != std::wstring_view::npos;
}

wchar_t AsciiUpper(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

bool SameName(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  }
  return true;
}

// The name of "NAME=VALUE"; a leading '=' belongs to the name ("=C:=C:\x").
std::wstring_view EntryName(std::wstring_view entry) {
  size_t eq = entry.find(L'=', 1);
  return entry.substr(0, eq);
}

}  // namespace

std::wstring QuoteWindowsArgument(std::wstring_view arg) {
  if (!NeedsQuotes(arg)) return std::wstring(arg);
  std::wstring out;
  out.reserve(arg.size() + 2);
  out.push_back(L'"');
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    // Backslashes are literal unless a quote follows them.
    if (c == L'"') {
      out.append(backslashes * 2 + 1, L'\\');
    } else {
      out.append(backslashes, L'\\');
    }
    backslashes = 0;
    out.push_back(c);
  }
  // The closing quote must not be escaped by trailing backslashes.
  out.append(backslashes * 2, L'\\');
  out.push_back(L'"');
  return out;
}

std::wstring BuildWindowsCommandLine(const std::vector<std::wstring>& args) {
  std::wstring line;
  for (const std::wstring& arg : args) {
    if (!line.empty()) line.push_back(L' ');
    line += QuoteWindowsArgument(arg);
  }
  return line;
}

std::wstring BuildWindowsEnvironmentBlock(std::wstring_view inherited,
                                          const std::vector<std::pair<std::wstring, std::wstring>>& overrides) {
  std::wstring block;
  size_t pos = 0;
  while (pos < inherited.size()) {
    size_t end = inherited.find(L'\0', pos);
    if (end == std::wstring_view::npos) end = inherited.size();
    std::wstring_view entry = inherited.substr(pos, end - pos);
    if (entry.empty()) break;  // the block's closing NUL
    pos = end + 1;
    bool replaced = false;
    for (const auto& [name, value] : overrides) replaced = replaced || SameName(EntryName(entry), name);
    if (replaced) continue;
    block.append(entry);
    block.push_back(L'\0');
  }
  for (const auto& [name, value] : overrides) {
    block += name;
    block.push_back(L'=');
    block += value;
    block.push_back(L'\0');
  }
  // An empty block still needs two NULs.
  if (block.empty()) block.push_back(L'\0');
  block.push_back(L'\0');
  return block;
}

}  // namespace aurvane
