#include "driver/win32/pipe_security.h"

namespace tamrel_driver_sim {

namespace {

bool well_known_sid(WELL_KNOWN_SID_TYPE type, std::vector<unsigned char>& sid)
{
    DWORD size = SECURITY_MAX_SID_SIZE;
    sid.resize(size);
    return CreateWellKnownSid(type, nullptr, sid.data(), &size) != FALSE;
}

bool own_user(std::vector<unsigned char>& token_user)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    token_user.resize(size != 0 ? size : 1);
    BOOL got = GetTokenInformation(token, TokenUser, token_user.data(), size, &size);
    DWORD error = GetLastError();
    CloseHandle(token);
    SetLastError(error);
    return got != FALSE;
}

} // namespace

bool PipeSecurity::build()
{
    if (!own_user(user_) || !well_known_sid(WinLocalSystemSid, system_) ||
        !well_known_sid(WinBuiltinAdministratorsSid, administrators_))
        return false;
    PSID sids[] = {reinterpret_cast<TOKEN_USER*>(user_.data())->User.Sid, system_.data(), administrators_.data()};

    DWORD acl_size = sizeof(ACL);
    for (PSID sid : sids)
        acl_size += static_cast<DWORD>(sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD)) + GetLengthSid(sid);
    acl_.resize(acl_size);
    PACL acl = reinterpret_cast<PACL>(acl_.data());
    if (!InitializeAcl(acl, acl_size, ACL_REVISION))
        return false;
    for (PSID sid : sids) {
        if (!AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, sid))
            return false;
    }
    if (!InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE))
        return false;
    attributes_.nLength = sizeof attributes_;
    attributes_.lpSecurityDescriptor = &descriptor_;
    attributes_.bInheritHandle = FALSE;
    return true;
}

} // namespace tamrel_driver_sim
