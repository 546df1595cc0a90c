#include "PathComponent.h"

#include "PathException.h"

#include <cstring>

namespace {

bool ContainsAnyOf(const char* text, const char* forbidden) {
    return std::strpbrk(text, forbidden) != nullptr;
}

} // namespace

bool IsValidName(const char* text) {
    if (!text)
        return false;
    size_t length = std::strlen(text);
    if (length < 1 || length > 260)
        return false;
    if (ContainsAnyOf(text, "\"\\/|<>"))
        return false;
    // A colon may only stand second in a two-character name, as in "C:".
    if (std::strchr(text, ':') && !(length == 2 && text[0] != ':'))
        return false;
    return true;
}

bool IsValidServerName(const char* text) {
    if (!text)
        return false;
    size_t length = std::strlen(text);
    if (length < 1 || length > 64)
        return false;
    return !ContainsAnyOf(text, "\"\\/[]:;|=,+*?<>");
}

CPathComponent& CPathComponent::operator=(const CPathComponent& other) {
    m_strName = other.m_strName;
    return *this;
}

void CPathComponent::SetName(const char* text) {
    if (text && *text && !IsValid(text))
        throw CPathException(PATH_ERR_INVALID_NAME);
    m_strName.Assign(text);
}

bool CPathComponent::IsValid(const char* text) const {
    return IsValidName(text);
}

bool CServerComponent::IsValid(const char* text) const {
    return IsValidServerName(text);
}
