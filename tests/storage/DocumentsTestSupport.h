// Helpers for the documents-file tests: short forms of the operations that fail the test on
// an unexpected code, and an in-memory model of what a file must hold. Test use only.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "storage/DocumentsFile.h"

namespace dovrel::storage_test {

inline uint32_t add(DocumentsFile& f, const std::string& record) {
  uint32_t number = ~0u;
  EXPECT_EQ(f.addDocument(record.data(), static_cast<uint32_t>(record.size()), &number), DF_DONE);
  return number;
}

inline std::string read(DocumentsFile& f, uint32_t number) {
  uint32_t length = 0;
  EXPECT_EQ(f.getLength(number, &length), DF_DONE);
  std::string record(length, '\0');
  EXPECT_EQ(f.readDocument(number, record.data(), length), DF_DONE);
  return record;
}

inline void commit(DocumentsFile& f) {
  ASSERT_EQ(f.commitPrepare(), DF_DONE);
  ASSERT_EQ(f.commitFinish(), DF_DONE);
}

inline std::shared_ptr<DocumentsFile> openFile(const std::string& path,
                                               OpenMode mode = OpenMode::openNormal) {
  std::shared_ptr<DocumentsFile> f;
  EXPECT_EQ(DocumentsFile::open(path, mode, &f), DF_DONE);
  return f;
}

inline std::shared_ptr<DocumentsFile> createFile(const std::string& path) {
  std::shared_ptr<DocumentsFile> f;
  EXPECT_EQ(DocumentsFile::create(path, &f), DF_DONE);
  return f;
}

// What a documents file must hold: every record ever added (replacements applied) and its
// deleted flag. Apply the same operations to the model and the file.
struct DocumentsModel {
  std::vector<std::string> records;
  std::vector<bool> deleted;
  uint32_t deletedCount = 0;

  uint32_t add(DocumentsFile& f, const std::string& record) {
    const uint32_t number = storage_test::add(f, record);
    EXPECT_EQ(number, records.size());
    records.push_back(record);
    deleted.push_back(false);
    return number;
  }
  void replace(DocumentsFile& f, uint32_t number, const std::string& record) {
    EXPECT_EQ(f.replaceDocument(number, record.data(), static_cast<uint32_t>(record.size())),
              DF_DONE);
    records[number] = record;
  }
  void remove(DocumentsFile& f, uint32_t number) {
    EXPECT_EQ(f.deleteDocument(number), deleted[number] ? DF_ALREADY_DELETED : DF_DONE);
    if (!deleted[number]) ++deletedCount;
    deleted[number] = true;
  }

  // Reads every document back and compares it with the model.
  ::testing::AssertionResult matches(DocumentsFile& f) const {
    uint32_t count = 0;
    uint32_t deletedInFile = 0;
    if (f.getDocumentCount(&count) != DF_DONE || f.getDeletedCount(&deletedInFile) != DF_DONE) {
      return ::testing::AssertionFailure() << "the file is in its disk-error state";
    }
    if (count != records.size() || deletedInFile != deletedCount) {
      return ::testing::AssertionFailure()
             << "counts " << count << "/" << deletedInFile << ", expected " << records.size() << "/"
             << deletedCount;
    }
    for (uint32_t n = 0; n < count; ++n) {
      uint32_t length = 0;
      bool isDeleted = false;
      if (f.getLength(n, &length) != DF_DONE || f.isDeleted(n, &isDeleted) != DF_DONE) {
        return ::testing::AssertionFailure() << "document " << n << " cannot be looked up";
      }
      std::string record(length, '\0');
      if (f.readDocument(n, record.data(), length) != DF_DONE) {
        return ::testing::AssertionFailure() << "document " << n << " cannot be read";
      }
      if (record != records[n] || isDeleted != deleted[n]) {
        return ::testing::AssertionFailure() << "document " << n << " differs";
      }
    }
    uint32_t ignored = 0;
    if (f.getLength(count, &ignored) != DF_NO_SUCH_DOCUMENT) {
      return ::testing::AssertionFailure() << "a document past the end exists";
    }
    return ::testing::AssertionSuccess();
  }
};

}  // namespace dovrel::storage_test
