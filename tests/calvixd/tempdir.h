// A private directory under /tmp for files a test writes, removed with all
// it holds when the test ends.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

class CTempDir {
public:
    CTempDir()
    {
        char pattern[] = "/tmp/calvixd-test-XXXXXX";
        const char* made = mkdtemp(pattern);
        m_path = made ? made : "";
    }
    ~CTempDir()
    {
        std::error_code ignored;
        if (!m_path.empty())
            std::filesystem::remove_all(m_path, ignored);
    }
    const std::string& Path() const { return m_path; }
    std::string File(const char* name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};
