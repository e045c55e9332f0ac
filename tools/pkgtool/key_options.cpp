#include "key_options.h"

#include "pkg_format.h"
#include "text_convert.h"

namespace pkgtool {

std::vector<std::vector<std::uint8_t>> KeysToTry(const KeyChoice& choice) {
  const std::vector<std::uint8_t> game1(pkg::kGame1Key.begin(), pkg::kGame1Key.end());
  const std::vector<std::uint8_t> game2(pkg::kGame2Key.begin(), pkg::kGame2Key.end());
  switch (choice.kind) {
    case KeyChoice::Kind::kAuto:
      return {game1, game2};
    case KeyChoice::Kind::kGame1:
      return {game1};
    case KeyChoice::Kind::kGame2:
      return {game2};
    case KeyChoice::Kind::kCustom:
      break;
  }
  return {choice.custom};
}

std::string DescribeKey(const KeyChoice& choice, int tried) {
  static const char* const kGames[] = {"the built-in key of game 1 (Zerith)",
                                       "the built-in key of game 2 (Zerith前传)"};
  switch (choice.kind) {
    case KeyChoice::Kind::kAuto:
      return std::string(kGames[tried == 1 ? 1 : 0]) + ", found by trying both built-in keys";
    case KeyChoice::Kind::kGame1:
      return kGames[0];
    case KeyChoice::Kind::kGame2:
      return kGames[1];
    case KeyChoice::Kind::kCustom:
      break;
  }
  static const char kHex[] = "0123456789ABCDEF";
  std::string hex;
  for (std::uint8_t b : choice.custom) {
    hex.push_back(kHex[b >> 4]);
    hex.push_back(kHex[b & 15]);
  }
  return "the key " + hex;
}

OptionResult TakeKeyOption(const std::vector<std::string>& args, std::size_t& i, bool allowAuto,
                           KeyChoice& choice, std::string& error) {
  const std::string& a = args[i];
  if (a != "--game" && a != "--key") return OptionResult::kNotMine;
  if (choice.given) {
    error = "give one of --game and --key, once";
    return OptionResult::kBad;
  }
  choice.given = true;
  if (i + 1 >= args.size()) {
    error = a + " needs a value";
    return OptionResult::kBad;
  }
  const std::string& v = args[++i];
  if (a == "--game") {
    if (v == "1") {
      choice.kind = KeyChoice::Kind::kGame1;
    } else if (v == "2") {
      choice.kind = KeyChoice::Kind::kGame2;
    } else if (v == "auto" && allowAuto) {
      choice.kind = KeyChoice::Kind::kAuto;
    } else {
      error = std::string("--game takes 1") + (allowAuto ? ", 2 or auto" : " or 2") + ", not '" +
              v + "'";
      return OptionResult::kBad;
    }
    return OptionResult::kTaken;
  }
  const pkg::KeyTextResult k = pkg::ParseKeyText(v);
  switch (k.error) {
    case pkg::KeyTextError::kNone:
      choice.kind = KeyChoice::Kind::kCustom;
      choice.custom = k.bytes;
      return OptionResult::kTaken;
    case pkg::KeyTextError::kEmpty:
      error = "--key: the key is empty";
      break;
    case pkg::KeyTextError::kOddLength:
      error = "--key: '" + v + "' has an odd number of characters; give two hex digits per byte";
      break;
    case pkg::KeyTextError::kBadPair:
      error = "--key: '" + v.substr(2 * k.badPair, 2) + "' at character " +
              std::to_string(2 * k.badPair + 1) + " is not two hex digits";
      break;
  }
  return OptionResult::kBad;
}

}  // namespace pkgtool
