// The fixture of the search end-to-end tests: the table "items", whose fields cover every
// indexable type and the index kinds that searches treat differently, created by "maker"
// and granted to the users of TableE2ETest; answers are taken as raw bytes, since a search
// answer carries binary document numbers. One test thread.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "TableE2ETest.h"
#include "client/SearchAnswer.h"

namespace dovrel::e2e {

inline const std::string ITEMS =
    "table items alias 'Items' {"
    " field name alias '' : text null { index w 'words size=16'; index h 'whole size=16';"
    "   index a 'whole-alphanum size=16'; index p 'words-prefix size=16'; };"
    " field n alias '' : int64 null { index h 'whole size=16'; };"
    " field x alias '' : double null { index h 'whole size=16'; };"
    " field d alias '' : date null { index h 'whole size=16'; };"
    " field t alias '' : datetime null { index h 'whole size=16'; };"
    " group g alias '' { field tag alias '' : text null { index w 'words size=16'; }; }; };";

// The values of one item; an empty optional-like "null" stands for a null field.
struct Item {
  std::string name = "null";
  std::string n = "null";
  std::string x = "null";
  std::string d = "null";
  std::string t = "null";
  std::string tag = "null";
};

inline std::string quotedOrNull(const std::string& value) {
  return value == "null" ? value : "'" + value + "'";
}

inline std::string itemDocument(const Item& item) {
  return "document { field name = " + quotedOrNull(item.name) +
         "; field n = " + quotedOrNull(item.n) + "; field x = " + quotedOrNull(item.x) +
         "; field d = " + quotedOrNull(item.d) + "; field t = " + quotedOrNull(item.t) +
         "; group g { field tag = " + quotedOrNull(item.tag) + "; }; }";
}

class SearchE2ETest : public TableE2ETest {
 protected:
  // items created by maker; "s" may select, "sh" also history, "all" everything,
  // "st" only structure; the server running.
  void startWithItems() {
    writeSecurity("");
    ASSERT_TRUE(instance_->start());
    ASSERT_EQ(ask("maker", "create " + ITEMS), "OK\r\n");
    halt();
    writeSecurity(
        "   table items owner maker {\r\n"
        "      all: structure, select, insert, update, optimize, meta, history;\r\n"
        "      s: select;\r\n"
        "      sh: select, history;\r\n"
        "      st: structure;\r\n"
        "   }\r\n");
    ASSERT_TRUE(instance_->start());
  }

  void restart() {
    halt();
    ASSERT_TRUE(instance_->start());
  }

  // The answer's bytes as the server sent them (code page 866 and binary numbers).
  std::string raw(const std::string& user, const std::string& command) {
    const std::string password = user == "admin" ? "secret" : user;
    client::ClientConnection connection("127.0.0.1", instance_->port());
    const std::string body =
        "User: " + user + "\r\nPassword: " + password + "\r\n" + utf8ToCp866(command);
    return connection.request(body, client::RequestMode::KNOWN_LENGTH).text;
  }

  // Adds the items in one request and returns their numbers.
  std::vector<uint32_t> add(const std::vector<Item>& items) {
    std::string command;
    for (const Item& item : items) command += "add " + itemDocument(item) + " to table items; ";
    const std::string answer = raw("all", command);
    std::vector<uint32_t> numbers;
    for (size_t at = 0; (at = answer.find("document ", at)) != std::string::npos;) {
      at += 9;
      numbers.push_back(static_cast<uint32_t>(std::stoul(answer.substr(at))));
    }
    EXPECT_EQ(numbers.size(), items.size()) << cp866ToUtf8(answer);
    return numbers;
  }

  // A successful search's answer decoded; a refusal fails the test.
  client::SearchAnswer search(const std::string& user, const std::string& command) {
    const std::string answer = raw(user, command);
    client::SearchAnswer decoded;
    std::string problem;
    EXPECT_TRUE(client::decodeSearchAnswer(answer, &decoded, &problem)) << command << "\n"
                                                                        << problem << "\n"
                                                                        << cp866ToUtf8(answer);
    return decoded;
  }
  std::vector<uint32_t> found(const std::string& where, const std::string& user = "s") {
    return search(user, "select from items where " + where + ";").documents;
  }
};

}  // namespace dovrel::e2e
