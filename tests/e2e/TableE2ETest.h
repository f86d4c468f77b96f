// The fixture of the table and document end-to-end tests: an instance whose users cover the
// privilege matrix — the admin, a creator who owns the tables, one grantee per privilege
// set and a grantee without any — with the table "books" created through the server and
// the grants written into security.txt before the real start. One test thread.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "E2ETest.h"
#include "client/ClientConnection.h"
#include "client/ClientError.h"
#include "foundation/Cp866.h"
#include "support/InstanceFiles.h"

namespace dovrel::e2e {

// A structure with an indexed text field, a nullable number and a group.
inline const std::string BOOKS =
    "table books alias 'Books' {"
    " field title alias 'T' : text { index w 'words size=16'; };"
    " field year alias 'Y' : int64 null { index y 'whole size=16'; };"
    " group author alias 'A' {"
    "   field first alias '' : text { };"
    "   field last alias '' : text { index l 'whole size=16'; }; }; };";

// The structure text the server writes for BOOKS.
inline const std::string BOOKS_TEXT =
    "table books alias #5#Books# {\r\n"
    "   field title alias #1#T# : text {\r\n"
    "      index w #13#words size=16#;\r\n"
    "   };\r\n"
    "   field year alias #1#Y# : int64 null {\r\n"
    "      index y #13#whole size=16#;\r\n"
    "   };\r\n"
    "   group author alias #1#A# {\r\n"
    "      field first alias #0## : text {\r\n"
    "      };\r\n"
    "      field last alias #0## : text {\r\n"
    "         index l #13#whole size=16#;\r\n"
    "      };\r\n"
    "   };\r\n"
    "};\r\n";

// A document of BOOKS and its canonical text.
inline std::string book(const std::string& title, const std::string& year = "null") {
  return "document { field title = '" + title + "'; field year = " + year +
         "; group author { field last = 'Tolstoy'; field first = 'Leo'; }; }";
}
inline std::string bookText(const std::string& title, const std::string& year = "null") {
  const std::string value = year == "null" ? "null"
                                           : "#" + std::to_string(year.size() - 2) + "#" +
                                                 year.substr(1, year.size() - 2) + "#";
  return "document {\r\n   field title = #" + std::to_string(title.size()) + "#" + title +
         "#;\r\n   field year = " + value +
         ";\r\n   group author {\r\n      field last = #7#Tolstoy#;\r\n"
         "      field first = #3#Leo#;\r\n   };\r\n};\r\n";
}

class TableE2ETest : public E2ETest {
 protected:
  // Grantees, named after what they hold on books; "guest" holds nothing.
  const std::map<std::string, std::string> grants_ = {
      {"st", "structure"},       {"s", "select"},
      {"sh", "select, history"}, {"i", "insert"},
      {"u", "update"},           {"m", "meta"},
      {"mh", "meta, history"},   {"all", "structure, select, insert, update, meta, history"},
  };

  std::vector<TestUser> users() const {
    std::vector<TestUser> list = defaultUsers();
    list.push_back({"maker", "creator", "maker"});
    list.push_back({"maker2", "creator", "maker2"});
    for (const auto& [name, privileges] : grants_) list.push_back({name, "grantee", name});
    return list;
  }

  // The answer to one command of `user` (password: the name; "secret" for admin), in UTF-8.
  std::string ask(const std::string& user, const std::string& command) {
    const std::string password = user == "admin" ? "secret" : user;
    client::ClientConnection connection("127.0.0.1", instance_->port());
    const std::string body =
        "User: " + user + "\r\nPassword: " + password + "\r\n" + utf8ToCp866(command);
    return cp866ToUtf8(connection.request(body, client::RequestMode::KNOWN_LENGTH).text);
  }

  void halt() {
    client::ClientConnection connection("127.0.0.1", instance_->port());
    connection.send("User: admin\r\nPassword: secret\r\nhalt;", client::RequestMode::KNOWN_LENGTH);
    EXPECT_THROW(connection.receive(client::RequestMode::KNOWN_LENGTH), client::ClientError);
    ASSERT_EQ(instance_->waitForExit(10000), 0);
  }

  void writeSecurity(const std::string& tableEntries) {
    std::string text = securityFileText(users());
    text.erase(text.size() - 3);  // "}" CR LF
    text += tableEntries + "}\r\n";
    std::ofstream(instance_->directory() + "security.txt", std::ios::binary | std::ios::trunc)
        << text;
  }

  // books, created by maker, with the grants above; the server running.
  void startWithBooks() {
    writeSecurity("");
    ASSERT_TRUE(instance_->start());
    ASSERT_EQ(ask("maker", "create " + BOOKS), "OK\r\n");
    halt();
    std::string entry = "   table books owner maker {\r\n";
    for (const auto& [name, privileges] : grants_) {
      entry += "      " + name + ": " + privileges + ";\r\n";
    }
    writeSecurity(entry + "   }\r\n");
    ASSERT_TRUE(instance_->start());
  }

  // "ERROR" and the positioned message.
  static std::string error(int line, int column, const std::string& message) {
    return "ERROR\r\nОшибка в строке " + std::to_string(line) + " столбце " +
           std::to_string(column) + ": " + message;
  }
};

}  // namespace dovrel::e2e
