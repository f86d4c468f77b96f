// Numeric result codes of the index engine and the shared low-level routines. A function
// that can fail returns its code; a value it also produces comes back through an
// out-parameter, which holds something meaningful only when the code is EM_NO_ERRORS. No
// exception leaves code that reports through these. The keys layer turns a code into a
// DiskOrMemoryError.
//
// Ignoring a returned code does not compile (the type is [[nodiscard]] and the build makes
// an unused result an error). EM_NO_ERRORS is zero, so a caller passes a failure on with
//     if (ErrorCode error = call()) return error;
//
// What a failed call leaves behind, the one rule for every function returning an
// ErrorCode:
//  - A function whose comment says what its failure leaves ("changes nothing", "the file
//    is closed", "nothing taken") keeps that promise, and its object may be used on.
//  - Otherwise the object may be left half-changed. The caller abandons the operation it
//    was part of; on the object it may then call only the accessors that read its state,
//    the calls that end what it opened (MergeIndex::endSearch() after a search call), and
//    the destructor. A merge index so dropped leaves its file at its last completed commit,
//    exactly as a crash would, and the work since that commit is lost.
//  - A code is never carried into a later call: every call does its work or returns its
//    own failure, and the caller checks each one.
#pragma once

namespace dovrel {

enum [[nodiscard]] ErrorCode : int{
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
