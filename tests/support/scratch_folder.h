// SPDX-License-Identifier: MIT
#pragma once

// A folder of its own for a test's files (configuration files, logs), removed
// with everything in it when the test ends.

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>

namespace test_support {

class TScratchFolder {
public:
    TScratchFolder()
    {
        std::string Name = (std::filesystem::temp_directory_path() / "varnolink-test-XXXXXX").string();
        if (::mkdtemp(Name.data()) == nullptr)
            throw std::runtime_error("no scratch folder under " + std::filesystem::temp_directory_path().string());
        Folder_ = Name;
    }
    ~TScratchFolder()
    {
        std::error_code Ignored;
        std::filesystem::remove_all(Folder_, Ignored);
    }
    TScratchFolder(const TScratchFolder&) = delete;
    TScratchFolder& operator=(const TScratchFolder&) = delete;

    // Where a file called Name goes.
    std::string Path(const std::string& Name) const { return (Folder_ / Name).string(); }

    // Writes Text to a file called Name; its path.
    std::string Write(const std::string& Name, const std::string& Text) const
    {
        const std::string FilePath = Path(Name);
        std::ofstream(FilePath, std::ios::binary) << Text;
        return FilePath;
    }

    // What the file at FilePath holds ("" when there is none).
    static std::string Read(const std::string& FilePath)
    {
        std::ifstream File(FilePath, std::ios::binary);
        std::ostringstream Text;
        Text << File.rdbuf();
        return Text.str();
    }

private:
    std::filesystem::path Folder_;
};

}  // namespace test_support
