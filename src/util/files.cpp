#include "util/files.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "util/strings.hpp"

namespace tarn {

namespace fs = std::filesystem;

namespace {
constexpr fs::perms WriteBits =
    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;

}  // namespace

std::string WithSlash(std::string dir) {
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  if (dir.empty() || dir.back() != '/') dir += '/';
  return dir;
}

// ==== file services =============================================================================

int FeReadFile(const std::string& path, std::string& text) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return 1;
  std::ifstream in(path, std::ios::binary);
  if (!in) return 1;
  std::ostringstream ss;
  ss << in.rdbuf();
  if (in.bad()) return 1;
  text = ss.str();
  return 0;
}

bool FeFileExists(const std::string& path) {
  std::error_code ec;
  return !path.empty() && fs::is_regular_file(path, ec);
}

bool FeIsReadOnly(const std::string& path) {
  std::error_code ec;
  auto st = fs::status(path, ec);
  if (ec || !fs::exists(st)) return false;
  return (st.permissions() & WriteBits) == fs::perms::none;
}

void FeSetReadOnly(const std::string& path, bool readonly) {
  std::error_code ec;
  if (!fs::exists(path, ec)) return;
  if (readonly)
    fs::permissions(path, WriteBits, fs::perm_options::remove, ec);
  else
    fs::permissions(path, fs::perms::owner_write, fs::perm_options::add, ec);
}

int FeWriteFileAtomic(const std::string& path, std::string_view text) {
  if (path.empty()) return 1;
  std::error_code ec;
  bool existed = fs::exists(path, ec);
  // A read-only file (a locked structure) is never replaced, not even by root.
  if (existed && FeIsReadOnly(path)) return 1;
  static int counter = 0;
  std::string dir, name;
  FeSplitPath(path, dir, name);
  std::string tmp = fmt::format("{}.{}.{}.{}.part", dir, name, ::getpid(), ++counter);
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) return 1;
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.flush();
    if (!out) {
      out.close();
      fs::remove(tmp, ec);
      return 1;
    }
  }
  if (existed) {
    auto p = fs::status(path, ec).permissions();
    if (!ec) fs::permissions(tmp, p, fs::perm_options::replace, ec);
  }
  fs::rename(tmp, path, ec);
  if (ec) {
    std::error_code ec2;
    fs::remove(tmp, ec2);
    return 1;
  }
  return 0;
}

int FeCopyFile(const std::string& from, const std::string& to) {
  if (!FeFileExists(from) || to.empty()) return 1;
  std::error_code ec;
  if (fs::exists(to, ec) && FeIsReadOnly(to)) return 1;
  if (fs::exists(to, ec) && fs::equivalent(from, to, ec)) return 0;
  static int counter = 0;
  std::string dir, name;
  FeSplitPath(to, dir, name);
  std::string tmp = fmt::format("{}.{}.{}.{}.part", dir, name, ::getpid(), ++counter);
  fs::copy_file(from, tmp, fs::copy_options::overwrite_existing, ec);
  if (ec) {
    std::error_code ec2;
    fs::remove(tmp, ec2);
    return 1;
  }
  fs::rename(tmp, to, ec);
  if (ec) {
    std::error_code ec2;
    fs::remove(tmp, ec2);
    return 1;
  }
  return 0;
}

int FeMoveFile(const std::string& from, const std::string& to) {
  if (!FeFileExists(from) || to.empty()) return 1;
  std::error_code ec;
  if (fs::exists(to, ec) && FeIsReadOnly(to)) return 1;
  fs::rename(from, to, ec);
  if (!ec) return 0;
  // Another file system: copy, then remove the original.
  if (FeCopyFile(from, to) != 0) return 1;
  FeDeleteFile(from);
  return 0;
}

void FeDeleteFile(const std::string& path) {
  if (path.empty()) return;
  std::error_code ec;
  if (fs::is_directory(fs::symlink_status(path, ec))) return;
  fs::remove(path, ec);
}

bool FeWildMatch(std::string_view pattern, std::string_view name) {
  // Iterative glob with back-tracking to the last "*".
  size_t p = 0, n = 0, star = std::string_view::npos, mark = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      mark = n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

std::vector<std::string> FeListDir(const std::string& pattern) {
  std::vector<std::string> out;
  std::string dir, mask;
  FeSplitPath(pattern, dir, mask);
  if (mask.empty()) mask = "*";
  std::error_code ec;
  fs::directory_iterator it(dir.empty() ? "." : dir, ec), end;
  if (ec) return out;
  for (; it != end; it.increment(ec)) {
    if (ec) break;
    std::error_code ec2;
    if (!it->is_regular_file(ec2)) continue;
    std::string name = it->path().filename().string();
    if (FeWildMatch(mask, name)) out.push_back(dir + name);
  }
  std::sort(out.begin(), out.end());
  return out;
}

void FeDeleteFiles(const std::string& pattern) {
  for (const auto& f : FeListDir(pattern)) FeDeleteFile(f);
}

long long FeFileSize(const std::string& path) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return -1;
  auto n = fs::file_size(path, ec);
  return ec ? -1 : static_cast<long long>(n);
}

bool FeSameFiles(const std::string& a, const std::string& b) {
  long long na = FeFileSize(a), nb = FeFileSize(b);
  if (na < 0 || nb < 0 || na != nb) return false;
  std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
  if (!fa || !fb) return false;
  constexpr size_t Chunk = 1 << 16;
  std::vector<char> ba(Chunk), bb(Chunk);
  while (fa && fb) {
    fa.read(ba.data(), Chunk);
    fb.read(bb.data(), Chunk);
    if (fa.gcount() != fb.gcount()) return false;
    if (std::memcmp(ba.data(), bb.data(), static_cast<size_t>(fa.gcount())) != 0) return false;
  }
  return fa.eof() && fb.eof();
}

std::string FeGetCwd() {
  std::error_code ec;
  auto p = fs::current_path(ec);
  if (ec) return "./";
  return WithSlash(p.string());
}

void FeSplitPath(const std::string& path, std::string& dir, std::string& name) {
  auto k = path.rfind('/');
  if (k == std::string::npos) {
    dir.clear();
    name = path;
  } else {
    dir = path.substr(0, k + 1);
    name = path.substr(k + 1);
  }
}

std::string FeStripExt(const std::string& name) {
  auto slash = name.rfind('/');
  auto dot = name.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return name;
  return name.substr(0, dot);
}

std::string GetPathTo(std::string_view program) {
  if (program.empty()) return {};
  auto runnable = [](const std::string& p) {
    std::error_code ec;
    return fs::is_regular_file(p, ec) && ::access(p.c_str(), X_OK) == 0;
  };
  if (program.find('/') != std::string_view::npos) {
    std::string p(program);
    return runnable(p) ? p : std::string();
  }
  const char* path = std::getenv("PATH");
  if (!path) return {};
  for (const auto& d : SplitOn(path, ":")) {
    std::string dir = d.empty() ? "." : d;
    if (dir.back() != '/') dir += '/';
    std::string cand = dir + std::string(program);
    if (runnable(cand)) return cand;
  }
  return {};
}

}  // namespace tarn
