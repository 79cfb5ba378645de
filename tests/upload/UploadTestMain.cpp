// Entry of the upload tests: one temporary board root for the whole binary,
// named in VELMAR_ROOT before any board path is resolved.
#include "UploadTestSupport.h"

namespace upload_test {

board_test::TempBoardRoot* g_pRoot = nullptr;

} // namespace upload_test

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    board_test::TempBoardRoot root;
    if (!root.Ok()) {
        fprintf(stderr, "%s\n", root.LayoutOutput().c_str());
        return 1;
    }
    setenv("VELMAR_ROOT", root.Path().c_str(), 1);
    upload_test::g_pRoot = &root;
    return RUN_ALL_TESTS();
}
