// An executable without a version resource shows the failure in its version line.
#include "window/MainWindow.h"

#include <gtest/gtest.h>

namespace ovl::setup {
namespace {

TEST(MainWindowVersion, WithoutAVersionResourceShowsTheFailure)
{
    std::wstring const text = MainWindow::GetVersionText();
    EXPECT_TRUE(text.starts_with(L"GetFileVersionInfoSizeW error: ")) << text.c_str();
    EXPECT_GT(std::wcstoul(text.c_str() + 31, nullptr, 10), 0ul) << text.c_str();
    EXPECT_LE(text.size(), 63u);
}

} // namespace
} // namespace ovl::setup
