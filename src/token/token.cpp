// SPDX-License-Identifier: BSD-2-Clause
#include "token.h"

#include <p11-kit/p11-kit.h>
#include <p11-kit/uri.h>

#include <openssl/crypto.h>

#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

constexpr std::string_view uri_scheme = "pkcs11:";
// PINs are short; SoftHSM2 takes up to 255 bytes, cards far fewer.
constexpr size_t pin_size = 256;
// More private keys than this under one URI is "several" all the same.
constexpr CK_ULONG object_batch = 16;

struct uri_free {
    void operator()(P11KitUri *uri) const { p11_kit_uri_free(uri); }
};
using uri_handle = std::unique_ptr<P11KitUri, uri_free>;

struct text_free {
    void operator()(char *text) const { std::free(text); }
};

// One initialized token that the URI names.
struct candidate {
    CK_FUNCTION_LIST *module;
    CK_SLOT_ID slot;
    CK_TOKEN_INFO info;
};

} // namespace

struct token_key {
    CK_FUNCTION_LIST **registry = nullptr; // the registered modules, if loaded
    CK_FUNCTION_LIST *loaded = nullptr;    // the module-path module, if loaded
    CK_FUNCTION_LIST *module = nullptr;    // the chosen token's module
    CK_SLOT_ID slot = 0;
    CK_TOKEN_INFO info{};
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    bool logged_in = false;
    CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
    size_t modulus_bytes = 0;
    bool decrypt_ready = false;
    bool has_pin = false; // pin holds what the user gave (on_reader: nothing)
    char pin[pin_size] = {};
    size_t pin_length = 0;
};

void token_key_close::operator()(token_key *key) const
{
    OPENSSL_cleanse(key->pin, sizeof key->pin);
    if (key->session != CK_INVALID_HANDLE) {
        if (key->logged_in)
            key->module->C_Logout(key->session);
        key->module->C_CloseSession(key->session);
    }
    if (key->loaded) {
        p11_kit_module_finalize(key->loaded);
        p11_kit_module_release(key->loaded);
    }
    if (key->registry)
        p11_kit_modules_finalize_and_release(key->registry);
    delete key;
}

namespace {

// The URI, or null when velkin must refuse it: unparsable, with an attribute
// p11-kit does not know (nothing would match it), with a PIN (it would show
// in the process list and the shell's history), or naming anything but a
// private key.
uri_handle parse_uri(const char *text)
{
    uri_handle uri(p11_kit_uri_new());
    if (!uri
        || p11_kit_uri_parse(text, P11_KIT_URI_FOR_OBJECT_ON_TOKEN_AND_MODULE, uri.get())
            != P11_KIT_URI_OK
        || p11_kit_uri_any_unrecognized(uri.get()) || p11_kit_uri_get_pin_value(uri.get())
        || p11_kit_uri_get_pin_source(uri.get()))
        return nullptr;
    const CK_ATTRIBUTE *type = p11_kit_uri_get_attribute(uri.get(), CKA_CLASS);
    if (type
        && (type->ulValueLen != sizeof(CK_OBJECT_CLASS)
            || *static_cast<const CK_OBJECT_CLASS *>(type->pValue) != CKO_PRIVATE_KEY))
        return nullptr;
    return uri;
}

// The module at path, and no registry: nothing but that module's own code and
// configuration is read.
bool load_module_at(const char *path, token_key &key)
{
    key.loaded = p11_kit_module_load(path, 0);
    if (!key.loaded)
        return false;
    if (p11_kit_module_initialize(key.loaded) != CKR_OK) {
        p11_kit_module_release(key.loaded);
        key.loaded = nullptr;
        return false;
    }
    return true;
}

// The modules to look in: the module-path one, or those registered with
// p11-kit (only the one called module-name when the URI has one).
bool load_modules(const P11KitUri *uri, token_key &key, std::vector<CK_FUNCTION_LIST *> *modules)
{
    if (const char *path = p11_kit_uri_get_module_path(uri)) {
        if (!load_module_at(path, key))
            return false;
        modules->push_back(key.loaded);
        return true;
    }
    key.registry = p11_kit_modules_load_and_initialize(0);
    if (!key.registry)
        return false;
    if (const char *name = p11_kit_uri_get_module_name(uri)) {
        CK_FUNCTION_LIST *named = p11_kit_module_for_name(key.registry, name);
        if (named)
            modules->push_back(named);
    } else {
        for (CK_FUNCTION_LIST **module = key.registry; *module; ++module)
            modules->push_back(*module);
    }
    return !modules->empty();
}

std::vector<CK_SLOT_ID> slots_with_token(CK_FUNCTION_LIST *module)
{
    CK_ULONG count = 0;
    if (module->C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_OK)
        return {};
    std::vector<CK_SLOT_ID> slots(count);
    if (count == 0 || module->C_GetSlotList(CK_TRUE, slots.data(), &count) != CKR_OK)
        return {};
    slots.resize(count);
    return slots;
}

// Adds the initialized tokens of module that the URI's module, slot and token
// attributes match. An uninitialized token has no key and, if offered a PIN,
// would only burn it.
void add_candidates(P11KitUri *uri, CK_FUNCTION_LIST *module, std::vector<candidate> *found)
{
    CK_INFO module_info{};
    if (module->C_GetInfo(&module_info) != CKR_OK
        || !p11_kit_uri_match_module_info(uri, &module_info))
        return;
    for (CK_SLOT_ID slot : slots_with_token(module)) {
        CK_SLOT_INFO slot_info{};
        candidate token{module, slot, {}};
        if (module->C_GetSlotInfo(slot, &slot_info) == CKR_OK
            && p11_kit_uri_match_slot_info(uri, &slot_info)
            && module->C_GetTokenInfo(slot, &token.info) == CKR_OK
            && (token.info.flags & CKF_TOKEN_INITIALIZED)
            && p11_kit_uri_match_token_info(uri, &token.info))
            found->push_back(token);
    }
}

// The URI's object attributes (id, label), of an object of class type.
std::vector<CK_ATTRIBUTE> object_template(P11KitUri *uri, CK_OBJECT_CLASS *type)
{
    std::vector<CK_ATTRIBUTE> wanted{{CKA_CLASS, type, sizeof *type}};
    CK_ULONG count = 0;
    const CK_ATTRIBUTE *given = p11_kit_uri_get_attributes(uri, &count);
    for (CK_ULONG i = 0; i < count; ++i)
        if (given[i].type != CKA_CLASS)
            wanted.push_back(given[i]);
    return wanted;
}

// Objects in the session of class type that the URI names; at most
// object_batch of them.
std::vector<CK_OBJECT_HANDLE> find_objects(CK_FUNCTION_LIST *module, CK_SESSION_HANDLE session,
                                           P11KitUri *uri, CK_OBJECT_CLASS type)
{
    std::vector<CK_ATTRIBUTE> wanted = object_template(uri, &type);
    if (module->C_FindObjectsInit(session, wanted.data(), wanted.size()) != CKR_OK)
        return {};
    std::vector<CK_OBJECT_HANDLE> objects(object_batch);
    CK_ULONG count = 0;
    if (module->C_FindObjects(session, objects.data(), objects.size(), &count) != CKR_OK)
        count = 0;
    module->C_FindObjectsFinal(session);
    objects.resize(count);
    return objects;
}

// Whether the token shows, without a login, a public key, a certificate or a
// private key that the URI names: the way to tell tokens apart before any PIN
// is offered.
bool shows_named_object(P11KitUri *uri, const candidate &token)
{
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    if (token.module->C_OpenSession(token.slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session)
        != CKR_OK)
        return false;
    bool shown = false;
    for (CK_OBJECT_CLASS type : {CKO_PUBLIC_KEY, CKO_CERTIFICATE, CKO_PRIVATE_KEY})
        shown = shown || !find_objects(token.module, session, uri, type).empty();
    token.module->C_CloseSession(session);
    return shown;
}

std::vector<candidate> narrow_candidates(P11KitUri *uri, const std::vector<candidate> &tokens)
{
    std::vector<candidate> narrowed;
    for (const candidate &token : tokens)
        if (shows_named_object(uri, token))
            narrowed.push_back(token);
    return narrowed;
}

// The URI of a key on the token of info: the token's attributes, the given
// object attributes, and the original URI's module query, so that the user
// can pass it back as it stands.
std::string format_key_uri(P11KitUri *original, const CK_TOKEN_INFO &info,
                           const std::vector<CK_ATTRIBUTE> &attributes)
{
    uri_handle uri(p11_kit_uri_new());
    if (!uri)
        return {};
    *p11_kit_uri_get_token_info(uri.get()) = info;
    for (const CK_ATTRIBUTE &attribute : attributes)
        p11_kit_uri_set_attribute(uri.get(), const_cast<CK_ATTRIBUTE *>(&attribute));
    if (const char *path = p11_kit_uri_get_module_path(original))
        p11_kit_uri_set_module_path(uri.get(), path);
    else if (const char *name = p11_kit_uri_get_module_name(original))
        p11_kit_uri_set_module_name(uri.get(), name);
    char *text = nullptr;
    if (p11_kit_uri_format(uri.get(), P11_KIT_URI_FOR_OBJECT_ON_TOKEN_AND_MODULE, &text)
        != P11_KIT_URI_OK)
        return {};
    const std::unique_ptr<char, text_free> owned(text);
    return text;
}

void list_tokens(P11KitUri *uri, const std::vector<candidate> &tokens,
                 std::vector<std::string> *candidates)
{
    CK_OBJECT_CLASS type = CKO_PRIVATE_KEY;
    const std::vector<CK_ATTRIBUTE> attributes = object_template(uri, &type);
    for (const candidate &token : tokens)
        candidates->push_back(format_key_uri(uri, token.info, attributes));
}

// Picks the one token the URI names; on several_match lists them.
token_status choose_token(P11KitUri *uri, const std::vector<CK_FUNCTION_LIST *> &modules,
                          candidate *chosen, std::vector<std::string> *candidates)
{
    std::vector<candidate> tokens;
    for (CK_FUNCTION_LIST *module : modules)
        add_candidates(uri, module, &tokens);
    if (tokens.empty())
        return token_status::no_match;
    if (tokens.size() > 1) {
        const std::vector<candidate> narrowed = narrow_candidates(uri, tokens);
        if (narrowed.size() != 1) {
            list_tokens(uri, narrowed.empty() ? tokens : narrowed, candidates);
            return token_status::several_match;
        }
        tokens = narrowed;
    }
    *chosen = tokens.front();
    return token_status::ready;
}

bool offers_oaep(const token_key &key)
{
    CK_MECHANISM_INFO info{};
    return key.module->C_GetMechanismInfo(key.slot, CKM_RSA_PKCS_OAEP, &info) == CKR_OK
        && (info.flags & CKF_DECRYPT);
}

// The token's label as text, without the blanks that pad it.
std::string label_of(const CK_TOKEN_INFO &info)
{
    std::string label(reinterpret_cast<const char *>(info.label), sizeof info.label);
    label.erase(label.find_last_not_of(' ') + 1);
    return label;
}

bool read_attribute(const token_key &key, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type,
                    std::vector<unsigned char> *value)
{
    CK_ATTRIBUTE attribute{type, nullptr, 0};
    if (key.module->C_GetAttributeValue(key.session, object, &attribute, 1) != CKR_OK
        || attribute.ulValueLen == CK_UNAVAILABLE_INFORMATION)
        return false;
    value->resize(attribute.ulValueLen);
    attribute.pValue = value->data();
    return key.module->C_GetAttributeValue(key.session, object, &attribute, 1) == CKR_OK;
}

// Whether the flag attribute reads as value; false when it cannot be read.
bool reads_as(const token_key &key, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type,
              CK_BBOOL value)
{
    std::vector<unsigned char> read;
    return read_attribute(key, object, type, &read) && read.size() == sizeof(CK_BBOOL)
        && read[0] == value;
}

bool is_rsa(const token_key &key, CK_OBJECT_HANDLE object)
{
    std::vector<unsigned char> value;
    CK_KEY_TYPE type = 0;
    if (!read_attribute(key, object, CKA_KEY_TYPE, &value) || value.size() != sizeof type)
        return false;
    std::memcpy(&type, value.data(), sizeof type);
    return type == CKK_RSA;
}

std::vector<CK_OBJECT_HANDLE> find_rsa_keys(const token_key &key, P11KitUri *uri)
{
    std::vector<CK_OBJECT_HANDLE> keys;
    for (CK_OBJECT_HANDLE object : find_objects(key.module, key.session, uri, CKO_PRIVATE_KEY))
        if (is_rsa(key, object))
            keys.push_back(object);
    return keys;
}

// Asks once for the PIN, or has the user enter it on the token's own pad.
bool obtain_pin(token_key &key, pin_supplier supply_pin)
{
    if (key.has_pin)
        return true;
    const std::string label = label_of(key.info);
    const bool on_reader = key.info.flags & CKF_PROTECTED_AUTHENTICATION_PATH;
    const int got = supply_pin(label.c_str(), on_reader, key.pin, sizeof key.pin);
    key.pin_length = on_reader || got < 0 ? 0 : static_cast<size_t>(got);
    // An empty PIN is no attempt worth a retry of the token's counter.
    key.has_pin = on_reader || key.pin_length > 0;
    return key.has_pin;
}

// One login of user (or, per use, of the key's context) with the PIN.
bool log_in(token_key &key, CK_USER_TYPE user, pin_supplier supply_pin)
{
    if ((key.info.flags & CKF_USER_PIN_LOCKED) || !obtain_pin(key, supply_pin))
        return false;
    const bool on_reader = key.info.flags & CKF_PROTECTED_AUTHENTICATION_PATH;
    const CK_RV result = key.module->C_Login(
        key.session, user, on_reader ? nullptr : reinterpret_cast<CK_UTF8CHAR *>(key.pin),
        key.pin_length);
    return result == CKR_OK || result == CKR_USER_ALREADY_LOGGED_IN;
}

// A key can be used without a login when the token needs none, or when it
// shows the key without one and says it is not private.
bool needs_login(const token_key &key, const std::vector<CK_OBJECT_HANDLE> &keys_shown)
{
    if (!(key.info.flags & CKF_LOGIN_REQUIRED))
        return false;
    return keys_shown.size() != 1 || !reads_as(key, keys_shown.front(), CKA_PRIVATE, CK_FALSE);
}

void list_keys(const token_key &key, P11KitUri *uri, const std::vector<CK_OBJECT_HANDLE> &keys,
               std::vector<std::string> *candidates)
{
    for (CK_OBJECT_HANDLE object : keys) {
        std::vector<unsigned char> id, label;
        read_attribute(key, object, CKA_ID, &id);
        read_attribute(key, object, CKA_LABEL, &label);
        CK_OBJECT_CLASS type = CKO_PRIVATE_KEY;
        candidates->push_back(format_key_uri(uri, key.info,
                                             {{CKA_CLASS, &type, sizeof type},
                                              {CKA_ID, id.data(), id.size()},
                                              {CKA_LABEL, label.data(), label.size()}}));
    }
}

// Finds the one RSA private key, logging in first if the token wants it.
// Keys shown before the login only grow in number after it, so several of
// them are refused without asking for the PIN.
token_status find_key(token_key &key, P11KitUri *uri, pin_supplier supply_pin,
                      std::vector<std::string> *candidates)
{
    std::vector<CK_OBJECT_HANDLE> keys = find_rsa_keys(key, uri);
    if (keys.size() <= 1 && needs_login(key, keys)) {
        if (!log_in(key, CKU_USER, supply_pin))
            return token_status::login_failed;
        key.logged_in = true;
        keys = find_rsa_keys(key, uri);
    }
    if (keys.empty())
        return token_status::no_match;
    if (keys.size() > 1) {
        list_keys(key, uri, keys, candidates);
        return token_status::several_match;
    }
    key.object = keys.front();
    return token_status::ready;
}

// The modulus's length without the leading zero bytes some tokens keep.
size_t read_modulus_bytes(const token_key &key)
{
    std::vector<unsigned char> modulus;
    if (read_attribute(key, key.object, CKA_MODULUS, &modulus)) {
        size_t lead = 0;
        while (lead < modulus.size() && modulus[lead] == 0)
            ++lead;
        return modulus.size() - lead;
    }
    std::vector<unsigned char> bits;
    CK_ULONG count = 0;
    if (!read_attribute(key, key.object, CKA_MODULUS_BITS, &bits) || bits.size() != sizeof count)
        return 0;
    std::memcpy(&count, bits.data(), sizeof count);
    return (count + 7) / 8;
}

// Starts the decryption now, so that a key that wants a login per use gets it,
// by the same PIN, before the PIN is wiped and the challenge read.
token_status start_decryption(token_key &key, pin_supplier supply_pin)
{
    CK_RSA_PKCS_OAEP_PARAMS oaep{CKM_SHA_1, CKG_MGF1_SHA1, CKZ_DATA_SPECIFIED, nullptr, 0};
    CK_MECHANISM mechanism{CKM_RSA_PKCS_OAEP, &oaep, sizeof oaep};
    const CK_RV started = key.module->C_DecryptInit(key.session, &mechanism, key.object);
    if (started == CKR_USER_NOT_LOGGED_IN)
        return token_status::login_failed;
    if (started != CKR_OK)
        return token_status::no_oaep;
    if (reads_as(key, key.object, CKA_ALWAYS_AUTHENTICATE, CK_TRUE)
        && !log_in(key, CKU_CONTEXT_SPECIFIC, supply_pin))
        return token_status::login_failed;
    key.decrypt_ready = true;
    return token_status::ready;
}

token_status open_key(token_key &key, P11KitUri *uri, pin_supplier supply_pin,
                      std::vector<std::string> *candidates)
{
    std::vector<CK_FUNCTION_LIST *> modules;
    if (!load_modules(uri, key, &modules))
        return token_status::module_unloadable;
    candidate token{};
    const token_status chosen = choose_token(uri, modules, &token, candidates);
    if (chosen != token_status::ready)
        return chosen;
    key.module = token.module;
    key.slot = token.slot;
    key.info = token.info;
    if (!offers_oaep(key))
        return token_status::no_oaep;
    if (key.module->C_OpenSession(key.slot, CKF_SERIAL_SESSION, nullptr, nullptr, &key.session)
        != CKR_OK)
        return token_status::no_match;
    const token_status found = find_key(key, uri, supply_pin, candidates);
    if (found != token_status::ready)
        return found;
    key.modulus_bytes = read_modulus_bytes(key);
    return start_decryption(key, supply_pin);
}

} // namespace

bool names_token_key(const char *argument)
{
    return std::string_view(argument).substr(0, uri_scheme.size()) == uri_scheme;
}

token_status open_token_key(const char *uri_text, pin_supplier supply_pin, token_handle *key,
                            std::vector<std::string> *candidates)
{
    const uri_handle uri = parse_uri(uri_text);
    if (!uri)
        return token_status::bad_uri;
    // p11-kit's own complaints would reach standard error, which is the user's.
    p11_kit_be_quiet();
    token_handle opened(new token_key);
    const token_status status = open_key(*opened, uri.get(), supply_pin, candidates);
    OPENSSL_cleanse(opened->pin, sizeof opened->pin);
    opened->pin_length = 0;
    if (status == token_status::ready)
        *key = std::move(opened);
    return status;
}

size_t token_modulus_bytes(const token_key &key)
{
    return key.modulus_bytes;
}

token_status decrypt_with_token(token_key &key, const unsigned char *ciphertext, size_t count,
                                unsigned char *plaintext, size_t *length)
{
    if (!key.decrypt_ready || count != key.modulus_bytes)
        return token_status::decryption_error;
    key.decrypt_ready = false; // the operation ends with this call, whatever it returns
    CK_ULONG room = key.modulus_bytes;
    if (key.module->C_Decrypt(key.session, const_cast<unsigned char *>(ciphertext), count,
                              plaintext, &room)
        != CKR_OK)
        return token_status::decryption_error;
    *length = room;
    return token_status::ready;
}
