// A randomized test against a model: documents are added, replaced and deleted in a table
// with several index kinds, committed, and the catalogue reloaded from disk; every
// document, meta record, count and index must match what the model says, and work that
// was not committed must be gone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <regex>

#include "keys/IndexKeyBuilder.h"
#include "keys/TableIndex.h"
#include "tables/TableField.h"
#include "tables/TableGroup.h"
#include "tables/TablesTestSupport.h"

namespace dovrel::tables_test {
namespace {

constexpr std::string_view STRUCTURE =
    "table m alias 'model' {"
    " field title alias '' : text {"
    "   index w 'words size=16'; index h 'whole size=16'; index p 'words-prefix size=16 mult=3';"
    "   index n 'words-near1 size=16'; };"
    " field n alias '' : int64 null { index n 'whole size=16'; };"
    " group g alias '' {"
    "   field d alias '' : date { index d 'whole size=16'; };"
    "   field code alias '' : text null { index a 'whole-alphanum size=16'; }; };"
    " field x alias '' : double null { index x 'whole size=16'; };"
    "};";

std::vector<uint32_t> seeds() {
  if (const char* one = std::getenv("DOVREL_TEST_SEED")) {
    return {static_cast<uint32_t>(std::stoul(one))};
  }
  return {1, 2, 3};
}

// The field values of one document; nullopt is null, and the group may be left out.
struct Values {
  std::string title;
  std::optional<std::string> n;
  bool hasGroup = false;
  std::string d;
  std::optional<std::string> code;
  std::optional<std::string> x;
};

struct ModelDocument {
  Values values;
  std::string text;  // canonical
  bool deleted = false;
  std::string creator;
  std::optional<uint32_t> replaced;
  std::optional<uint32_t> replacedBy;
  std::string deleter;
};

class TableModelTest : public ::testing::Test {
 protected:
  void TearDown() override { set_.reset(); }

  void load() {
    set_.reset();
    set_ = std::make_unique<TableSet>(dir_.path());
    set_->load();
    table_ = set_->hasTable("m") ? set_->getTable("m") : nullptr;
  }

  Values randomValues() {
    static const char* const WORDS[] = {
        "fox", "Fox", "red", "\xC5\xEB\xEA\xE0", "\xB8\xEB\xEA\xE0", "a1", "b", "ab",
        "abc", "zz9", "Long"};
    static const char* const SEPARATORS[] = {" ", ", ", "-", "  "};
    Values v;
    const int words = pick(0, 4);
    for (int i = 0; i < words; ++i) {
      if (i > 0) v.title += SEPARATORS[pick(0, 3)];
      v.title += WORDS[pick(0, 10)];
    }
    if (pick(0, 3) > 0) v.n = std::to_string(pick(-5, 5));
    v.hasGroup = pick(0, 9) < 7;
    v.d = "0" + std::to_string(pick(1, 3)) + ".02.2007";
    if (pick(0, 2) > 0) v.code = std::string(WORDS[pick(0, 10)]) + "-" + std::to_string(pick(0, 2));
    static const char* const DOUBLES[] = {"1.5", "-0.25", "3.e2", "300.", "-0.", "0.0"};
    if (pick(0, 2) > 0) v.x = DOUBLES[pick(0, 5)];
    return v;
  }
  static std::string body(const Values& v) {
    const auto value = [](const std::optional<std::string>& o) {
      return o ? "#" + std::to_string(o->size()) + "#" + *o + "#" : std::string("null");
    };
    std::string out = "field title = #" + std::to_string(v.title.size()) + "#" + v.title + "#;";
    if (v.hasGroup) {
      out += " group g { field code = " + value(v.code) + "; field d = '" + v.d + "'; };";
    }
    out += " field x = " + value(v.x) + "; field n = " + value(v.n) + ";";
    return out;
  }
  int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
  uint32_t randomLive() {
    std::vector<uint32_t> live;
    for (uint32_t i = 0; i < model_.size(); ++i) {
      if (!model_[i].deleted) live.push_back(i);
    }
    return live.empty()
               ? UINT32_MAX
               : live[static_cast<std::size_t>(pick(0, static_cast<int>(live.size()) - 1))];
  }

  void randomOperation() {
    const std::string& user = pick(0, 1) == 0 ? bob_->getName() : al_->getName();
    const User& who = user == "bob" ? *bob_ : *al_;
    const int kind = pick(0, 3);
    const uint32_t live = randomLive();
    if (kind >= 2 || live == UINT32_MAX) {
      add(who, std::nullopt);
    } else if (kind == 1) {
      add(who, live);
    } else {
      deleteStored(*table_, live, who);
      model_[live].deleted = true;
      model_[live].deleter = who.getName();
    }
  }
  void add(const User& who, std::optional<uint32_t> replaced) {
    ModelDocument document;
    document.values = randomValues();
    document.text = documentText(*readDocument("document { " + body(document.values) + " }"));
    document.creator = who.getName();
    document.replaced = replaced;
    const uint32_t number = storeDocument(*table_, body(document.values), who, replaced.has_value(),
                                          replaced.value_or(0));
    ASSERT_EQ(number, model_.size());
    if (replaced) {
      model_[*replaced].deleted = true;
      model_[*replaced].replacedBy = number;
    }
    model_.push_back(document);
  }

  std::string expectedMeta(const ModelDocument& d) const {
    std::string text = "document {\r\n   usercreated = #" + std::to_string(d.creator.size()) + "#" +
                       d.creator + "#;\r\n   creationtime = #19#TIME#;\r\n   replaced = ";
    text += d.replaced ? "#" + std::to_string(std::to_string(*d.replaced).size()) + "#" +
                             std::to_string(*d.replaced) + "#"
                       : "#4#none#";
    text += ";\r\n";
    // A replaced document records its replacement; only a deleted one its deleter.
    if (d.replacedBy) {
      const std::string k = std::to_string(*d.replacedBy);
      text += "   replacedby = #" + std::to_string(k.size()) + "#" + k + "#;\r\n";
    } else if (d.deleted) {
      text += "   userdeleted = #" + std::to_string(d.deleter.size()) + "#" + d.deleter +
              "#;\r\n   deletiontime = #19#TIME#;\r\n";
    }
    return text + "};\r\n";
  }

  // The value of a document that an index of `fieldPath` sees, or nullopt.
  static std::optional<std::string> valueOf(const Values& v, const std::string& fieldPath) {
    if (fieldPath == "title") return v.title;
    if (fieldPath == "n") return v.n;
    if (fieldPath == "x") return v.x;
    if (!v.hasGroup) return std::nullopt;
    if (fieldPath == "g.d") return v.d;
    return v.code;
  }

  void checkIndex(const std::string& fieldPath, index::TableIndex& tableIndex) {
    index::IndexKeyBuilder builder;
    // Key -> document -> deleted, built from the values.
    std::map<std::string, std::map<uint32_t, bool>> keys;
    for (uint32_t number = 0; number < model_.size(); ++number) {
      std::optional<std::string> value = valueOf(model_[number].values, fieldPath);
      if (!value) continue;
      builder.forEachDocumentKey(
          tableIndex.spec(), tableIndex.fieldType(), TextView(*value), [&](index::Key key) {
            keys[std::string(reinterpret_cast<const char*>(key + 1), key[0])][number] =
                model_[number].deleted;
          });
    }
    for (index::SearchMode mode :
         {index::SearchMode::PRESENT, index::SearchMode::REMOVED, index::SearchMode::ALL}) {
      SCOPED_TRACE(testing::Message()
                   << tableIndex.fullName() << " mode " << static_cast<int>(mode));
      std::vector<uint64_t> expected;
      uint32_t ordinal = 0;
      for (const auto& [key, documents] : keys) {
        std::vector<uint32_t> shown;
        for (const auto& [number, deleted] : documents) {
          if (mode == index::SearchMode::ALL || deleted == (mode == index::SearchMode::REMOVED)) {
            shown.push_back(number);
          }
        }
        if (shown.empty()) continue;
        ++ordinal;
        for (uint32_t number : shown) expected.push_back(index::NumPairList::pack(number, ordinal));
      }
      std::sort(expected.begin(), expected.end());
      index::NumPairList pairs = tableIndex.sortPairs(mode);
      EXPECT_EQ(std::vector<uint64_t>(pairs.pairs().begin(), pairs.pairs().end()), expected);
      EXPECT_EQ(tableIndex.countKeys(mode), ordinal);
    }
  }

  void checkTable() {
    table_->openFiles(OpenMode::openNormal);
    ASSERT_EQ(table_->getNumberCount(), model_.size());
    uint32_t live = 0;
    const std::regex time("\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d");
    for (uint32_t number = 0; number < model_.size(); ++number) {
      const ModelDocument& d = model_[number];
      live += d.deleted ? 0 : 1;
      EXPECT_EQ(table_->isDocumentDeleted(number), d.deleted) << number;
      TextBuffer text;
      table_->getDocument(number, text);
      EXPECT_EQ(text.toString(), d.text) << number;
      TextBuffer meta;
      table_->getMeta(number, meta);
      EXPECT_EQ(std::regex_replace(meta.toString(), time, "TIME"), expectedMeta(d)) << number;
    }
    EXPECT_EQ(table_->getLiveCount(), live);
    for (const auto& member : table_->members()) {
      if (auto field = dynamic_cast<TableField*>(member.get())) {
        for (const auto& each : field->indexes()) checkIndex(field->getName(), *each);
      } else {
        for (const auto& field : dynamic_cast<TableGroup*>(member.get())->fields()) {
          for (const auto& each : field->indexes()) checkIndex("g." + field->getName(), *each);
        }
      }
    }
  }

  // Equal searches with query values as a client writes them.
  void checkTypedSearches() {
    auto n = dynamic_cast<TableField*>(table_->findMember("n"))->findIndex("n");
    for (int value = -5; value <= 5; ++value) {
      std::vector<uint32_t> expected;
      for (uint32_t number = 0; number < model_.size(); ++number) {
        if (!model_[number].deleted && model_[number].values.n == std::to_string(value)) {
          expected.push_back(number);
        }
      }
      index::OrderedListPtr found =
          n->equal(TextView(std::to_string(value)), index::SearchMode::PRESENT);
      EXPECT_EQ(std::vector<uint32_t>(found->begin(), found->end()), expected) << value;
    }
  }

  DataDir dir_;
  std::shared_ptr<User> bob_ = makeUser("bob");
  std::shared_ptr<User> al_ = makeUser("al");
  std::unique_ptr<TableSet> set_;
  std::shared_ptr<Table> table_;
  std::vector<ModelDocument> model_;
  std::mt19937 random_;
};

TEST_F(TableModelTest, DocumentsMetaRecordsAndIndexesSurviveCommitAndReload) {
  for (uint32_t seed : seeds()) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    random_.seed(seed);
    model_.clear();
    set_.reset();
    for (const std::string& file : dir_.files()) std::filesystem::remove(dir_.file(file));
    load();  // empty
    table_ = createTable(*set_, STRUCTURE, bob_);
    for (int round = 0; round < 3; ++round) {
      for (int i = 0; i < 60; ++i) randomOperation();
      checkTable();
      set_->commitAll();
      const std::vector<ModelDocument> committed = model_;
      // Work after the commit is lost with the process.
      for (int i = 0; i < 15; ++i) randomOperation();
      model_ = committed;
      load();
      checkTable();
      checkTypedSearches();
      if (HasFailure()) return;
    }
  }
}

}  // namespace
}  // namespace dovrel::tables_test
