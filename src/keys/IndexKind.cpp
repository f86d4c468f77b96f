// Index kind texts, the kinds' field types and their search operations. Any thread.
#include "keys/IndexKind.h"

#include <array>

#include "foundation/Assert.h"
#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "index/IndexFormat.h"

namespace dovrel::index {

namespace {

constexpr std::string_view NEAR_PREFIX = "words-near";

struct NamedKind {
  std::string_view name;
  BaseKind kind;
};
constexpr std::array<NamedKind, 6> NAMED_KINDS = {{
    {"whole", BaseKind::WHOLE},
    {"whole-alphanum", BaseKind::WHOLE_ALPHANUM},
    {"words", BaseKind::WORDS},
    {"words-prefix", BaseKind::WORDS_PREFIX},
    {"words-suffix", BaseKind::WORDS_SUFFIX},
    {"words-substr", BaseKind::WORDS_SUBSTR},
}};

// Finds `option` (" mult=" or " size=") in `rest` and removes it with its digits. Nothing
// happens when the option is absent. False when its digits are not a number in [min, max].
bool takeOption(std::string& rest, std::string_view option, uint32_t min, uint32_t max,
                uint32_t& value, bool& given) {
  std::size_t at = rest.find(option);
  if (at == std::string::npos) return true;
  std::size_t start = at + option.size();
  std::size_t end = rest.find(' ', start);
  if (end == std::string::npos) end = rest.size();
  if (start == end) return false;
  uint32_t number = 0;
  for (std::size_t i = start; i < end; ++i) {
    if (rest[i] < '0' || rest[i] > '9') return false;
    number = number * 10 + static_cast<uint32_t>(rest[i] - '0');
    if (number > max) return false;  // also keeps long digit runs from overflowing
  }
  if (number < min) return false;
  value = number;
  given = true;
  rest.erase(at, end - at);
  return true;
}

[[noreturn]] void refuseKind(std::string_view kindText, std::string_view indexFullName,
                             std::string_view reason, std::string_view detail = {}) {
  std::string message(kindText);
  message += " - недопустимый вид индекса "_cp866;
  message += indexFullName;
  message += reason;
  message += detail;
  throw SemanticError(std::move(message));
}

}  // namespace

bool compatible(FieldType type, BaseKind kind) {
  if (type == FieldType::TEXT) return true;
  return kind == BaseKind::WHOLE && hasValueKey(type);
}

IndexKind::IndexKind(BaseKind kind, uint32_t nearDistance)
    : kind_(kind),
      nearDistance_(kind == BaseKind::WORDS_NEAR ? nearDistance : 0),
      sizeLog_(DEFAULT_CLUSTER_SIZE_LOG),
      mult_(DEFAULT_MERGE_MULTIPLIER) {
  DOVREL_ASSERT(nearDistance_ <= 9);
}

IndexKind IndexKind::parse(std::string_view kindText, std::string_view indexFullName) {
  std::string rest(kindText);
  uint32_t mult = DEFAULT_MERGE_MULTIPLIER;
  uint32_t sizeLog = DEFAULT_CLUSTER_SIZE_LOG;
  bool multGiven = false;
  bool sizeGiven = false;
  if (!takeOption(rest, " mult=", MIN_MULT_OPTION, MAX_MULT_OPTION, mult, multGiven)) {
    refuseKind(kindText, indexFullName, ": недопустимое значение после mult="_cp866);
  }
  if (!takeOption(rest, " size=", MIN_CLUSTER_SIZE_LOG, MAX_CLUSTER_SIZE_LOG, sizeLog, sizeGiven)) {
    refuseKind(kindText, indexFullName, ": недопустимое значение после size="_cp866);
  }
  IndexKind spec(BaseKind::WHOLE);
  bool known = false;
  for (const NamedKind& named : NAMED_KINDS) {
    if (rest == named.name) {
      spec = IndexKind(named.kind);
      known = true;
    }
  }
  if (rest.size() == NEAR_PREFIX.size() + 1 && rest.starts_with(NEAR_PREFIX) &&
      rest.back() >= '0' && rest.back() <= '9') {
    spec = IndexKind(BaseKind::WORDS_NEAR, static_cast<uint32_t>(rest.back() - '0'));
    known = true;
  }
  if (!known) refuseKind(kindText, indexFullName, ": недопустимая базовая часть "_cp866, rest);
  spec.mult_ = mult;
  spec.multGiven_ = multGiven;
  spec.sizeLog_ = sizeLog;
  spec.sizeGiven_ = sizeGiven;
  return spec;
}

std::string IndexKind::baseText() const {
  for (const NamedKind& named : NAMED_KINDS) {
    if (named.kind == kind_) return std::string(named.name);
  }
  return std::string(NEAR_PREFIX) + static_cast<char>('0' + nearDistance_);
}

std::string IndexKind::kindText() const {
  std::string text = baseText();
  if (sizeGiven_) text += " size=" + std::to_string(sizeLog_);
  if (multGiven_) text += " mult=" + std::to_string(mult_);
  return text;
}

void IndexKind::checkOperation(IndexOperation operation, FieldType type) const {
  bool whole = kind_ == BaseKind::WHOLE || kind_ == BaseKind::WHOLE_ALPHANUM;
  std::string_view refusal;
  switch (operation) {
    case IndexOperation::EQUAL:
      return;
    case IndexOperation::PREFIX:
      if (type == FieldType::TEXT && kind_ != BaseKind::WORDS_SUFFIX &&
          kind_ != BaseKind::WORDS_NEAR) {
        return;
      }
      throw SemanticError(
          "операция prefix применима только к индексам whole, whole-alphanum, words, "
          "words-substr, words-prefix полей типа text"_cp866);
    case IndexOperation::LESS:
      refusal = "операция '<' применима только к индексам whole и whole-alphanum"_cp866;
      break;
    case IndexOperation::LESS_OR_EQUAL:
      refusal = "операция '<=' применима только к индексам whole и whole-alphanum"_cp866;
      break;
    case IndexOperation::GREATER:
      refusal = "операция '>' применима только к индексам whole и whole-alphanum"_cp866;
      break;
    case IndexOperation::GREATER_OR_EQUAL:
      refusal = "операция '>=' применима только к индексам whole и whole-alphanum"_cp866;
      break;
    case IndexOperation::NOT_EQUAL:
      refusal = "операция '<>' применима только к индексам whole и whole-alphanum"_cp866;
      break;
    case IndexOperation::RANGE:
      refusal = "операция range применима только к индексам whole и whole-alphanum"_cp866;
      break;
  }
  if (!whole) throw SemanticError(refusal);
}

PrefixSearch IndexKind::prefixSearch() const {
  return kind_ == BaseKind::WORDS_PREFIX || kind_ == BaseKind::WORDS_SUBSTR
             ? PrefixSearch::EQUAL_KEY
             : PrefixSearch::KEY_PREFIXES;
}

}  // namespace dovrel::index
