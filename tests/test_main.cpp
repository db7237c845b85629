#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace plovane {
int RunStoreWorker(int worker);
int RegisterEntryFromChild(const std::wstring& key);
int DieWritingFromChild(const std::wstring& key, int dieAt);
int DeleteStorm(unsigned long ms);
}  // namespace plovane

// The same program doubles as the worker that the store's two-process test starts.
int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--store-worker") == 0) {
        return plovane::RunStoreWorker(std::stoi(argv[2]));
    }
    if (argc == 3 && std::strcmp(argv[1], "--register-entry") == 0) {
        const std::string key = argv[2];
        return plovane::RegisterEntryFromChild(std::wstring(key.begin(), key.end()));
    }
    if (argc == 4 && std::strcmp(argv[1], "--die-writing") == 0) {
        const std::string key = argv[2];
        return plovane::DieWritingFromChild(std::wstring(key.begin(), key.end()),
                                            std::stoi(argv[3]));
    }
    if (argc == 3 && std::strcmp(argv[1], "--delete-storm") == 0) {
        return plovane::DeleteStorm(std::stoul(argv[2]));
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
