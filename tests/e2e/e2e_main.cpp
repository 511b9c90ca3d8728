// The end-to-end tests are listed from their sources, so a filter that names
// a test the executable lacks must fail instead of passing with nothing run.
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    if (::testing::UnitTest::GetInstance()->test_to_run_count() == 0) return 1;
    return result;
}
