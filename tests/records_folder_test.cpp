// The records folder's security as the install sets it. Wine keeps no access
// list it is given (it maps one onto the Unix mode bits), so this reads the
// list as it is built, entry by entry, in Windows' own terms.
#include "platform/win32/records_folder_setup.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <string>

namespace {

std::string sidText(PSID sid) {
    char* text = nullptr;
    if (!::ConvertSidToStringSidA(sid, &text)) return "?";
    std::string result = text;
    ::LocalFree(text);
    return result;
}

TEST(RecordsFolder, AccessListIsItsOwnAndLetsOnlyTheServiceWrite) {
    const struct {
        const char* who;
        DWORD rights;
        BYTE where;
    } expected[] = {
        {"S-1-5-18", FILE_ALL_ACCESS, CONTAINER_INHERIT_ACE | OBJECT_INHERIT_ACE},      // SYSTEM
        {"S-1-5-32-544", FILE_ALL_ACCESS, CONTAINER_INHERIT_ACE | OBJECT_INHERIT_ACE},  // Administrators
        // LocalService in the folder: list, traverse, add a file; no
        // subfolder, no deleting of what is there.
        {"S-1-5-19", SYNCHRONIZE | READ_CONTROL | FILE_READ_DATA | FILE_READ_EA |
                         FILE_READ_ATTRIBUTES | FILE_EXECUTE | FILE_ADD_FILE, 0},
        // LocalService in its files: read and write them; no delete, no change of rights.
        {"S-1-5-19", SYNCHRONIZE | READ_CONTROL | FILE_READ_DATA | FILE_READ_EA |
                         FILE_READ_ATTRIBUTES | FILE_WRITE_DATA | FILE_APPEND_DATA |
                         FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES,
         INHERIT_ONLY_ACE | OBJECT_INHERIT_ACE},
        // Users: read and list, in the folder and every file.
        {"S-1-5-32-545", SYNCHRONIZE | READ_CONTROL | FILE_READ_DATA | FILE_READ_EA |
                             FILE_READ_ATTRIBUTES | FILE_EXECUTE,
         CONTAINER_INHERIT_ACE | OBJECT_INHERIT_ACE},
    };
    FolderSecurity security;
    ASSERT_TRUE(buildFolderSecurity(security));
    // Set as the folder's owner and list, nothing inherited kept or taken later.
    EXPECT_EQ(security.information, static_cast<SECURITY_INFORMATION>(
                                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                        PROTECTED_DACL_SECURITY_INFORMATION));
    EXPECT_EQ(sidText(security.owner), "S-1-5-32-544");
    ACL* list = reinterpret_cast<ACL*>(security.list);
    ASSERT_TRUE(::IsValidAcl(list));
    ASSERT_EQ(list->AceCount, sizeof expected / sizeof expected[0]);
    for (WORD i = 0; i < list->AceCount; ++i) {
        void* entry = nullptr;
        ASSERT_TRUE(::GetAce(list, i, &entry));
        const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE) << i;
        EXPECT_EQ(sidText(const_cast<DWORD*>(&allowed->SidStart)), expected[i].who) << i;
        EXPECT_EQ(allowed->Mask, expected[i].rights) << expected[i].who << " entry " << i;
        EXPECT_EQ(allowed->Header.AceFlags, expected[i].where) << expected[i].who << " entry " << i;
    }
}

}  // namespace
