// The secmigrate program: converts "users.txt" and the tables of the data directory in the
// working directory into "security.txt". Takes no arguments; single-threaded.
#include "secmigrate/SecurityMigration.h"

int main() { return dovrel::secmigrate::migrateSecurity("."); }
