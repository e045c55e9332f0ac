// Writes the benchmark corpora, the same bytes on every machine:
//   mixed  2,216 files, 300 MiB: text, shared-object-like code and random data
//   small  50,000 files of 0 to 4 KiB (97 MiB), mostly text and code
//   big    one 1 GiB file: log records with some random data (zlib level 6
//          runs at about 60 MB/s on it, as on the reference file)
// Usage: make_corpus ROOT [mixed|small|big]...   (default: all three); --help
// A corpus whose stamp file matches this generator is left as it is.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Bumped whenever the bytes a corpus holds change.
constexpr const char* kVersion = "pkgbench corpus 2";

// splitmix64: tiny, fast and defined bit for bit, unlike the standard
// library's distributions.
class Rng {
 public:
  explicit Rng(std::uint64_t seed) : s_(seed) {}
  std::uint64_t Next() {
    std::uint64_t z = (s_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [0, n).
  std::uint64_t Below(std::uint64_t n) { return n ? Next() % n : 0; }
  // Uniform in [0, 1).
  double Unit() { return static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0); }

 private:
  std::uint64_t s_;
};

using Bytes = std::vector<std::uint8_t>;

// A fixed vocabulary and a set of stock phrases built from it, both drawn
// with a skew towards their first entries: text then compresses, and costs
// zlib, about as much as prose or source code does.
class Vocabulary {
 public:
  Vocabulary() {
    Rng rng(7);
    const char* letters = "etaoinshrdlcumwfgypbvkjxqz";
    for (int i = 0; i < 20000; ++i) {
      std::string w;
      const std::size_t len = 2 + rng.Below(4) + rng.Below(4) + rng.Below(4);
      for (std::size_t k = 0; k < len; ++k) w += letters[rng.Below(1 + rng.Below(26))];
      words_.push_back(w);
    }
    for (int i = 0; i < 8000; ++i) {
      std::string p;
      for (std::uint64_t k = 2 + rng.Below(6); k > 0; --k) p += Word(rng) + " ";
      phrases_.push_back(p);
    }
  }
  const std::string& Word(Rng& rng) const { return Skewed(words_, rng); }
  const std::string& Phrase(Rng& rng) const { return Skewed(phrases_, rng); }

 private:
  static const std::string& Skewed(const std::vector<std::string>& v, Rng& rng) {
    const double u = rng.Unit();
    return v[static_cast<std::size_t>(u * u * static_cast<double>(v.size()))];
  }
  std::vector<std::string> words_, phrases_;
};

const Vocabulary& Words() {
  static const Vocabulary v;
  return v;
}

void Append(Bytes& out, const std::string& s) {
  out.insert(out.end(), s.begin(), s.end());
}

// Prose paragraphs between runs of markup lines, as in game scripts, configs
// and documentation.
void AppendText(Bytes& out, std::size_t n, Rng& rng) {
  static const char* kEnds[] = {". ", ". ", ", ", "; ", ".\n", ":\n    "};
  static const char* kTags[] = {"item", "entry", "sprite", "sound", "npc", "quest", "param"};
  const std::size_t end = out.size() + n;
  while (out.size() < end) {
    if (rng.Below(3) == 0) {
      for (std::uint64_t s = 1 + rng.Below(6); s > 0; --s) {
        for (std::uint64_t k = 1 + rng.Below(4); k > 0; --k)
          Append(out, rng.Below(3) ? Words().Phrase(rng) : Words().Word(rng) + " ");
        out.pop_back();
        Append(out, kEnds[rng.Below(sizeof kEnds / sizeof *kEnds)]);
      }
      out.push_back('\n');
      continue;
    }
    const char* tag = kTags[rng.Below(sizeof kTags / sizeof *kTags)];
    for (std::uint64_t k = 1 + rng.Below(12); k > 0; --k) {
      Append(out, std::string("  <") + tag + " id=\"" + std::to_string(rng.Below(5000)) +
                      "\" name=\"" + Words().Word(rng) + "\" value=\"" +
                      std::to_string(rng.Below(100)) + "\" flags=\"" + Words().Word(rng) +
                      "\" />\n");
    }
  }
  out.resize(end);
}

// Machine-code-like bytes: functions made of stock instruction sequences with
// varying operands, a string table of symbol names, relocation-like records
// and zero padding.
class CodeIdioms {
 public:
  CodeIdioms() {
    Rng rng(11);
    for (int i = 0; i < 600; ++i) {
      Bytes b;
      for (std::uint64_t k = 2 + rng.Below(14); k > 0; --k)
        b.push_back(static_cast<std::uint8_t>(rng.Below(3) ? rng.Below(64) * 4 : rng.Below(256)));
      idioms_.push_back(b);
    }
  }
  const Bytes& Pick(Rng& rng) const {
    const double u = rng.Unit();
    return idioms_[static_cast<std::size_t>(u * u * static_cast<double>(idioms_.size()))];
  }

 private:
  std::vector<Bytes> idioms_;
};

void AppendCode(Bytes& out, std::size_t n, Rng& rng) {
  static const CodeIdioms idioms;
  static const std::uint8_t kPrologue[] = {0x55, 0x48, 0x89, 0xE5, 0x41, 0x57, 0x41, 0x56, 0x53};
  static const std::uint8_t kEpilogue[] = {0x5B, 0x41, 0x5E, 0x41, 0x5F, 0x5D, 0xC3, 0x90};
  const std::size_t end = out.size() + n;
  while (out.size() < end) {
    const std::uint64_t section = rng.Below(10);
    const std::size_t stop = std::min(end, out.size() + 256 + rng.Below(16384));
    if (section < 6) {  // functions
      while (out.size() < stop) {
        out.insert(out.end(), kPrologue, kPrologue + sizeof kPrologue);
        for (std::uint64_t k = 2 + rng.Below(30); k > 0; --k) {
          const Bytes& idiom = idioms.Pick(rng);
          out.insert(out.end(), idiom.begin(), idiom.end());
          if (rng.Below(4) == 0) out.push_back(static_cast<std::uint8_t>(rng.Below(256)));
        }
        out.insert(out.end(), kEpilogue, kEpilogue + sizeof kEpilogue);
      }
    } else if (section < 8) {  // symbol names
      while (out.size() < stop) {
        Append(out, rng.Below(2) ? "_ZN" : "_Z");
        for (std::uint64_t k = 1 + rng.Below(3); k > 0; --k) {
          const std::string& w = Words().Word(rng);
          Append(out, std::to_string(w.size()) + w);
        }
        out.push_back(0);
      }
    } else if (section < 9) {  // relocation records
      std::uint64_t at = rng.Below(1 << 20) * 8;
      while (out.size() < stop) {
        const std::uint64_t rec[3] = {at += 8 * (1 + rng.Below(2)), 8, rng.Below(64) * 16};
        for (std::uint64_t v : rec)
          for (int k = 0; k < 8; ++k) out.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
      }
    } else {  // padding
      out.resize(stop, 0);
    }
  }
  out.resize(end);
}

// Log records: timestamps, levels, modules and numbers, as a game server or
// a replay writes them.
void AppendLog(Bytes& out, std::size_t n, Rng& rng, std::uint64_t& clock) {
  static const char* kLevels[] = {"INFO", "WARN", "DEBUG", "ERROR"};
  static const char* kModules[] = {"net.session", "render.pass", "audio.mix", "io.loader",
                                   "ai.path",     "script.vm",   "ui.layout", "phys.step"};
  const std::size_t end = out.size() + n;
  char line[160];
  while (out.size() < end) {
    clock += 1 + rng.Below(50);
    const int len = std::snprintf(
        line, sizeof line,
        "2024-05-%02d %02d:%02d:%02d.%03d [%s] %s: frame %llu took %llu us, queue=%llu\n",
        static_cast<int>(1 + clock / 86400000 % 28), static_cast<int>(clock / 3600000 % 24),
        static_cast<int>(clock / 60000 % 60), static_cast<int>(clock / 1000 % 60),
        static_cast<int>(clock % 1000), kLevels[rng.Below(4)], kModules[rng.Below(8)],
        static_cast<unsigned long long>(clock / 16),
        static_cast<unsigned long long>(100 + rng.Below(9000)),
        static_cast<unsigned long long>(rng.Below(65)));
    out.insert(out.end(), line, line + len);
  }
  out.resize(end);
}

void AppendRandom(Bytes& out, std::size_t n, Rng& rng) {
  const std::size_t start = out.size();
  out.resize(start + n);
  for (std::size_t i = 0; i < n; i += 8) {
    const std::uint64_t v = rng.Next();
    std::memcpy(out.data() + start + i, &v, std::min<std::size_t>(8, n - i));
  }
}

enum class Kind { kText, kCode, kRandom };

void AppendKind(Bytes& out, Kind kind, std::size_t n, Rng& rng) {
  switch (kind) {
    case Kind::kText:
      return AppendText(out, n, rng);
    case Kind::kCode:
      return AppendCode(out, n, rng);
    case Kind::kRandom:
      return AppendRandom(out, n, rng);
  }
}

// Text, code and random data in the proportions 40 : 40 : 20.
Kind PickKind(Rng& rng) {
  const std::uint64_t r = rng.Below(10);
  return r < 4 ? Kind::kText : r < 8 ? Kind::kCode : Kind::kRandom;
}

const char* Extension(Kind kind) {
  switch (kind) {
    case Kind::kText:
      return ".txt";
    case Kind::kCode:
      return ".so";
    case Kind::kRandom:
      return ".ogg";
  }
  return "";
}

void WriteBytes(const fs::path& path, const Bytes& data) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

// Folders three levels deep, named like a game's data tree.
std::vector<std::string> Folders(std::size_t count, Rng& rng) {
  static const char* kNames[] = {"data", "maps", "sound", "ui", "models", "scripts", "fx", "lang"};
  std::vector<std::string> out;
  for (std::size_t i = 0; i < count; ++i) {
    std::string f;
    for (std::uint64_t d = 1 + rng.Below(3); d > 0; --d)
      f += std::string(f.empty() ? "" : "/") + kNames[rng.Below(8)] + std::to_string(rng.Below(4));
    out.push_back(f);
  }
  return out;
}

// 2^lo to 2^hi, log-uniform. Only + and * on doubles, which give the same
// bits everywhere, unlike exp and log.
std::uint64_t LogUniform(int lo, int hi, Rng& rng) {
  const double e = rng.Unit() * (hi - lo);
  const int whole = static_cast<int>(e);
  const double f = e - whole;
  const double pow2f = 1.0 + f * (0.6931472 + f * (0.2402265 + f * 0.0666496));
  return static_cast<std::uint64_t>(pow2f * static_cast<double>(1ull << (lo + whole)));
}

void MakeMixed(const fs::path& root) {
  Rng rng(300);
  constexpr std::size_t kFiles = 2216, kLarge = 6;
  constexpr std::uint64_t kTotal = 300ull << 20;
  // Log-uniform sizes from 64 bytes to 1 MiB, plus a few large files that
  // take up the rest.
  std::vector<std::uint64_t> sizes;
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < kFiles - kLarge; ++i) {
    sizes.push_back(LogUniform(6, 20, rng));
    sum += sizes.back();
  }
  const std::uint64_t rest = kTotal - sum;
  const std::uint64_t weights[kLarge] = {1, 2, 3, 4, 5, 6};
  std::uint64_t given = 0;
  for (std::size_t i = 0; i < kLarge; ++i) {
    const std::uint64_t s = i + 1 < kLarge ? rest * weights[i] / 21 : rest - given;
    given += s;
    sizes.insert(sizes.begin() + static_cast<std::ptrdiff_t>(rng.Below(sizes.size())), s);
  }
  const auto folders = Folders(60, rng);
  Bytes data;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    const Kind kind = PickKind(rng);
    data.clear();
    AppendKind(data, kind, sizes[i], rng);
    WriteBytes(
        root / folders[rng.Below(folders.size())] / ("f" + std::to_string(i) + Extension(kind)),
        data);
  }
}

void MakeSmall(const fs::path& root) {
  Rng rng(50000);
  Bytes data;
  for (std::size_t i = 0; i < 50000; ++i) {
    const std::uint64_t r = rng.Below(20);
    const Kind kind = r < 10 ? Kind::kText : r < 17 ? Kind::kCode : Kind::kRandom;
    data.clear();
    AppendKind(data, kind, rng.Below(4097), rng);
    const std::string folder = "s" + std::to_string(i % 10) + "/t" + std::to_string(i / 10 % 10);
    WriteBytes(root / folder / ("f" + std::to_string(i) + Extension(kind)), data);
  }
}

void MakeBig(const fs::path& root) {
  Rng rng(1024);
  constexpr std::uint64_t kSize = 1ull << 30;
  fs::create_directories(root);
  std::ofstream out(root / "big.bin", std::ios::binary | std::ios::trunc);
  Bytes data;
  std::uint64_t clock = 0;
  for (std::uint64_t done = 0; done < kSize;) {
    const std::uint64_t n = std::min<std::uint64_t>(kSize - done, (64 << 10) + rng.Below(4 << 20));
    data.clear();
    // One piece in twenty is random: attachments, compressed dumps.
    if (rng.Below(20) == 0)
      AppendRandom(data, n, rng);
    else
      AppendLog(data, n, rng, clock);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(n));
    done += n;
  }
  if (!out) throw std::runtime_error("cannot write the big corpus");
}

constexpr const char* kCorpora[] = {"mixed", "small", "big"};

void Usage(std::FILE* to) {
  std::fprintf(to,
               "usage: make_corpus ROOT [mixed|small|big]...\n"
               "Writes the benchmark corpora below ROOT, all three when none is named;\n"
               "a corpus that this version wrote already is kept.\n");
}

}  // namespace

int main(int argc, char** argv) {
  // Options are never taken for folders: "--help" would otherwise receive
  // 1.4 GiB of corpora.
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      Usage(stdout);
      return 0;
    }
    if (arg.starts_with('-')) {
      std::fprintf(stderr, "make_corpus: unknown option '%s'\n", arg.c_str());
      Usage(stderr);
      return 2;
    }
    args.push_back(arg);
  }
  if (args.empty()) {
    Usage(stderr);
    return 2;
  }
  const fs::path root = args[0];
  std::vector<std::string> names(args.begin() + 1, args.end());
  if (names.empty()) names.assign(std::begin(kCorpora), std::end(kCorpora));
  // Every name is checked before a corpus folder is cleared, so a mistyped
  // one removes nothing.
  for (const std::string& name : names) {
    if (std::find(std::begin(kCorpora), std::end(kCorpora), name) == std::end(kCorpora)) {
      std::fprintf(stderr, "make_corpus: unknown corpus '%s'\n", name.c_str());
      Usage(stderr);
      return 2;
    }
  }
  try {
    for (const std::string& name : names) {
      const fs::path dir = root / name, stamp = root / (name + ".stamp");
      std::ifstream in(stamp);
      std::string have;
      std::getline(in, have);
      if (have == kVersion && fs::is_directory(dir)) continue;
      std::printf("make_corpus: writing %s\n", dir.string().c_str());
      std::fflush(stdout);
      fs::remove_all(dir);
      fs::remove(stamp);
      if (name == "mixed")
        MakeMixed(dir);
      else if (name == "small")
        MakeSmall(dir);
      else
        MakeBig(dir);
      std::ofstream(stamp) << kVersion << "\n";
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make_corpus: %s\n", e.what());
    return 1;
  }
  return 0;
}
