// Entry of the management task tests that call the task on the test's own
// thread: no task thread of pool 2 runs, so no timeout entry fires.
#include "ManageTestSupport.h"

int main(int argc, char** argv)
{
    return manage_test::RunManageTests(argc, argv, 0);
}
