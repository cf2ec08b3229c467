// SPDX-License-Identifier: BSD-2-Clause
// A PKCS#11 module for the tests: one token with one RSA private key behind a
// PIN, whose calls all succeed except the one VELKIN_FAKE_HOST_MEMORY names
// (initialize, slots, login or decrypt), which says the module ran out of
// memory, as no real token can be made to on demand.
#include <p11-kit/pkcs11.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr CK_SLOT_ID the_slot = 1;
constexpr CK_SESSION_HANDLE the_session = 1;
constexpr CK_OBJECT_HANDLE the_key = 1;
constexpr CK_ULONG modulus_bits = 2048;

bool fails_at(const char *call)
{
    const char *failing = std::getenv("VELKIN_FAKE_HOST_MEMORY");
    return failing && std::strcmp(failing, call) == 0;
}

// PKCS#11 text fields are blank-padded, without a terminator.
template <size_t size> void pad(unsigned char (&field)[size], const char *text)
{
    std::memset(field, ' ', size);
    std::memcpy(field, text, std::strlen(text));
}

template <typename... Arguments> CK_RV unsupported(Arguments...)
{
    return CKR_FUNCTION_NOT_SUPPORTED;
}

template <typename... Arguments> CK_RV succeed(Arguments...)
{
    return CKR_OK;
}

CK_RV initialize(void *)
{
    return fails_at("initialize") ? CKR_HOST_MEMORY : CKR_OK;
}

CK_RV get_info(CK_INFO *info)
{
    std::memset(info, 0, sizeof *info);
    info->cryptokiVersion = {2, 40};
    pad(info->manufacturerID, "velkin tests");
    pad(info->libraryDescription, "fake module");
    return CKR_OK;
}

CK_RV get_slot_list(CK_BBOOL, CK_SLOT_ID *slots, CK_ULONG *count)
{
    if (fails_at("slots"))
        return CKR_HOST_MEMORY;
    if (slots) {
        if (*count < 1)
            return CKR_BUFFER_TOO_SMALL;
        slots[0] = the_slot;
    }
    *count = 1;
    return CKR_OK;
}

CK_RV get_slot_info(CK_SLOT_ID, CK_SLOT_INFO *info)
{
    std::memset(info, 0, sizeof *info);
    pad(info->slotDescription, "fake slot");
    pad(info->manufacturerID, "velkin tests");
    info->flags = CKF_TOKEN_PRESENT;
    return CKR_OK;
}

CK_RV get_token_info(CK_SLOT_ID, CK_TOKEN_INFO *info)
{
    std::memset(info, 0, sizeof *info);
    pad(info->label, "fake");
    pad(info->manufacturerID, "velkin tests");
    pad(info->model, "fake");
    pad(info->serialNumber, "1");
    info->flags = CKF_TOKEN_INITIALIZED | CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED;
    return CKR_OK;
}

CK_RV get_mechanism_info(CK_SLOT_ID, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO *info)
{
    if (type != CKM_RSA_PKCS_OAEP)
        return CKR_MECHANISM_INVALID;
    *info = {modulus_bits, modulus_bits, CKF_DECRYPT};
    return CKR_OK;
}

CK_RV open_session(CK_SLOT_ID, CK_FLAGS, void *, CK_NOTIFY, CK_SESSION_HANDLE *session)
{
    *session = the_session;
    return CKR_OK;
}

bool found_key = false;

CK_RV find_objects_init(CK_SESSION_HANDLE, CK_ATTRIBUTE *, CK_ULONG)
{
    found_key = false;
    return CKR_OK;
}

CK_RV find_objects(CK_SESSION_HANDLE, CK_OBJECT_HANDLE *objects, CK_ULONG room, CK_ULONG *count)
{
    *count = 0;
    if (!found_key && room > 0) {
        objects[0] = the_key;
        *count = 1;
        found_key = true;
    }
    return CKR_OK;
}

template <typename Value> CK_RV give(CK_ATTRIBUTE &attribute, Value value)
{
    if (attribute.pValue) {
        if (attribute.ulValueLen < sizeof value)
            return CKR_BUFFER_TOO_SMALL;
        std::memcpy(attribute.pValue, &value, sizeof value);
    }
    attribute.ulValueLen = sizeof value;
    return CKR_OK;
}

CK_RV get_attribute_value(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE *attributes,
                          CK_ULONG count)
{
    CK_RV result = CKR_OK;
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_ATTRIBUTE &attribute = attributes[i];
        switch (attribute.type) {
        case CKA_KEY_TYPE:
            result = give(attribute, CK_KEY_TYPE{CKK_RSA});
            break;
        case CKA_PRIVATE:
            result = give(attribute, CK_BBOOL{CK_TRUE});
            break;
        case CKA_ALWAYS_AUTHENTICATE:
            result = give(attribute, CK_BBOOL{CK_FALSE});
            break;
        case CKA_MODULUS_BITS:
            result = give(attribute, CK_ULONG{modulus_bits});
            break;
        default:
            attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            result = CKR_ATTRIBUTE_TYPE_INVALID;
        }
    }
    return result;
}

CK_RV login(CK_SESSION_HANDLE, CK_USER_TYPE, CK_UTF8CHAR *, CK_ULONG)
{
    return fails_at("login") ? CKR_HOST_MEMORY : CKR_OK;
}

CK_RV decrypt(CK_SESSION_HANDLE, CK_BYTE *, CK_ULONG, CK_BYTE *, CK_ULONG *)
{
    return fails_at("decrypt") ? CKR_HOST_MEMORY : CKR_GENERAL_ERROR;
}

CK_RV get_function_list(CK_FUNCTION_LIST **list);

CK_FUNCTION_LIST functions = {
    {2, 40},           initialize,        succeed,           get_info,
    get_function_list, get_slot_list,     get_slot_info,     get_token_info,
    unsupported,       get_mechanism_info, unsupported,      unsupported,
    unsupported,       open_session,      succeed,           succeed,
    unsupported,       unsupported,       unsupported,       login,
    succeed,           unsupported,       unsupported,       unsupported,
    unsupported,       get_attribute_value, unsupported,     find_objects_init,
    find_objects,      succeed,           unsupported,       unsupported,
    unsupported,       unsupported,       succeed,           decrypt,
    unsupported,       unsupported,       unsupported,       unsupported,
    unsupported,       unsupported,       unsupported,       unsupported,
    unsupported,       unsupported,       unsupported,       unsupported,
    unsupported,       unsupported,       unsupported,       unsupported,
    unsupported,       unsupported,       unsupported,       unsupported,
    unsupported,       unsupported,       unsupported,       unsupported,
    unsupported,       unsupported,       unsupported,       unsupported,
    unsupported,       unsupported,       unsupported,       unsupported,
    unsupported,
};

CK_RV get_function_list(CK_FUNCTION_LIST **list)
{
    *list = &functions;
    return CKR_OK;
}

} // namespace

extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST **list)
{
    return get_function_list(list);
}
