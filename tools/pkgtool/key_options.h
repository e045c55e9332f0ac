// The index key as the commands take it: --game 1|2|auto or --key HEX.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pkgtool {

struct KeyChoice {
  enum class Kind { kAuto, kGame1, kGame2, kCustom };
  Kind kind = Kind::kAuto;
  std::vector<std::uint8_t> custom;  // kCustom only
  bool given = false;                // --game or --key was on the command line
};

// The keys to try, in order: both built-in keys for kAuto.
std::vector<std::vector<std::uint8_t>> KeysToTry(const KeyChoice& choice);

// Says which key opened an archive: "the built-in key of game 1 (Zerith)".
// tried is the position in KeysToTry.
std::string DescribeKey(const KeyChoice& choice, int tried);

enum class OptionResult { kNotMine, kTaken, kBad };

// Takes --game or --key at args[i], with its value, moving i onto the value.
// allowAuto: whether --game auto is accepted. On kBad, error says why.
OptionResult TakeKeyOption(const std::vector<std::string>& args, std::size_t& i, bool allowAuto,
                           KeyChoice& choice, std::string& error);

}  // namespace pkgtool
