// Numeric result codes of the index engine and the shared low-level routines. They travel
// through an out-parameter that starts as EM_NO_ERRORS; a callee sets a code and returns.
// No exception leaves code that reports through these. The table layer turns a code into
// a DiskOrMemoryError.
#pragma once

namespace dovrel {

enum ErrorCode : int {
  EM_NO_ERRORS = 0,
  EM_BAD_DATA = 101,       // corrupt cluster, information block, file length or directory
  EM_SEEK = 102,           // positioning the file failed
  EM_CREATE = 103,         // creating the file failed
  EM_OPEN = 104,           // opening the file failed
  EM_EXTEND = 105,         // extending the file failed
  EM_FILE_SIZE = 106,      // reading the file length failed
  EM_WRITE = 107,          // a write failed or was short
  EM_READ = 108,           // a read failed or was short
  EM_NO_MEMORY = 109,      // an allocation failed
  EM_NOT_OPEN = 110,       // operation on a file that is not open
  EM_DOC_TOO_LARGE = 111,  // a document number of 2^30 or more was inserted
};

}  // namespace dovrel
