// Entry of the TCP command tests: the management task is called on the
// test's own thread (no task thread of pool 2 runs).
#include "ManageTestSupport.h"

int main(int argc, char** argv)
{
    return manage_test::RunManageTests(argc, argv, 0);
}
