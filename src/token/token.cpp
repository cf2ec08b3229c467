// SPDX-License-Identifier: BSD-2-Clause
#include "token.h"

#include <p11-kit/p11-kit.h>
#include <p11-kit/uri.h>

#include <openssl/crypto.h>

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

constexpr std::string_view uri_scheme = "pkcs11:";
// p11-kit is opened only for a token key, so that a key file run neither
// loads it nor has its start-up code read its environment variables.
constexpr char p11kit_library_name[] = "libp11-kit.so.0";
// The query attributes of RFC 7512; p11-kit ignores any other, which would
// turn a misspelt module-path into a search of the registry.
constexpr std::string_view known_query_attributes[] = {
    "module-name", "module-path", "pin-source", "pin-value"};

// The p11-kit calls velkin makes, each named once: p11_kit_NAME is reached as
// p11kit.NAME.
#define VELKIN_P11KIT_CALLS(X)                                                                     \
    X(be_quiet)                                                                                    \
    X(module_load)                                                                                 \
    X(module_initialize)                                                                           \
    X(module_finalize)                                                                             \
    X(module_release)                                                                              \
    X(module_for_name)                                                                             \
    X(modules_load)                                                                                \
    X(modules_load_and_initialize)                                                                 \
    X(modules_finalize_and_release)                                                                \
    X(modules_release)                                                                             \
    X(uri_new)                                                                                     \
    X(uri_free)                                                                                    \
    X(uri_parse)                                                                                   \
    X(uri_format)                                                                                  \
    X(uri_any_unrecognized)                                                                        \
    X(uri_get_pin_value)                                                                           \
    X(uri_get_pin_source)                                                                          \
    X(uri_get_attribute)                                                                           \
    X(uri_get_attributes)                                                                          \
    X(uri_set_attribute)                                                                           \
    X(uri_get_module_path)                                                                         \
    X(uri_get_module_name)                                                                         \
    X(uri_set_module_path)                                                                         \
    X(uri_set_module_name)                                                                         \
    X(uri_get_token_info)                                                                          \
    X(uri_match_module_info)                                                                       \
    X(uri_match_slot_info)                                                                         \
    X(uri_match_token_info)

struct p11kit_calls {
#define VELKIN_DECLARE_CALL(name) decltype(&::p11_kit_##name) name = nullptr;
    VELKIN_P11KIT_CALLS(VELKIN_DECLARE_CALL)
#undef VELKIN_DECLARE_CALL
};

// Filled once, by open_p11kit; the library then stays loaded until the
// process ends, as the threads and handlers it may have set up need.
p11kit_calls p11kit;

// Loads p11-kit and finds every call; false when it is missing or too old.
bool open_p11kit()
{
    static bool opened = false;
    if (opened)
        return true;
    void *library = dlopen(p11kit_library_name, RTLD_NOW | RTLD_LOCAL);
    if (!library)
        return false;
    p11kit_calls found;
    bool complete = true;
#define VELKIN_FIND_CALL(name)                                                                     \
    found.name = reinterpret_cast<decltype(found.name)>(dlsym(library, "p11_kit_" #name));       \
    complete = complete && found.name;
    VELKIN_P11KIT_CALLS(VELKIN_FIND_CALL)
#undef VELKIN_FIND_CALL
    if (!complete) {
        dlclose(library);
        return false;
    }
    p11kit = found;
    opened = true;
    return true;
}

// Set when memory ran out, in p11-kit or in a module (CKR_HOST_MEMORY from
// whatever call): the run then ends with that, not with what the failed step
// would otherwise have meant (no key, a wrong PIN). One run, one thread.
bool memory_ran_out = false;

// A module's result, noting a lack of memory.
CK_RV noted(CK_RV result)
{
    if (result == CKR_HOST_MEMORY)
        memory_ran_out = true;
    return result;
}
// PINs are short; SoftHSM2 takes up to 255 bytes, cards far fewer.
constexpr size_t pin_size = 256;
// More private keys than this under one URI is "several" all the same.
constexpr CK_ULONG object_batch = 16;

struct uri_free {
    void operator()(P11KitUri *uri) const { p11kit.uri_free(uri); }
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
    bool registry_started = false;         // all of them initialized, not just one
    CK_FUNCTION_LIST *loaded = nullptr;    // the module-path module, if loaded
    CK_FUNCTION_LIST *started = nullptr;   // the one registered module initialized
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
        p11kit.module_finalize(key->loaded);
        p11kit.module_release(key->loaded);
    }
    if (key->started)
        p11kit.module_finalize(key->started);
    if (key->registry) {
        if (key->registry_started)
            p11kit.modules_finalize_and_release(key->registry);
        else
            p11kit.modules_release(key->registry);
    }
    delete key;
}

namespace {

bool is_known_query_attribute(std::string_view name)
{
    for (std::string_view known : known_query_attributes)
        if (name == known)
            return true;
    return false;
}

// Whether each attribute of the URI's query (what follows its "?") is one
// of those RFC 7512 defines, given with a value.
bool knows_query(std::string_view text)
{
    const size_t start = text.find('?');
    if (start == std::string_view::npos)
        return true;
    std::string_view rest = text.substr(start + 1);
    for (;;) {
        const size_t end = rest.find('&');
        const std::string_view attribute = rest.substr(0, end);
        const size_t equals = attribute.find('=');
        if (equals == std::string_view::npos
            || !is_known_query_attribute(attribute.substr(0, equals)))
            return false;
        if (end == std::string_view::npos)
            return true;
        rest.remove_prefix(end + 1);
    }
}

// The URI in *parsed, or bad_uri when velkin must refuse it: unparsable, with
// an attribute p11-kit does not know (nothing would match it), with a PIN (it
// would show in the process list and the shell's history), or naming anything
// but a private key.
token_status parse_uri(const char *text, uri_handle *parsed)
{
    uri_handle uri(p11kit.uri_new());
    if (!uri)
        return token_status::out_of_memory;
    const int result =
        p11kit.uri_parse(text, P11_KIT_URI_FOR_OBJECT_ON_TOKEN_AND_MODULE, uri.get());
    if (result == P11_KIT_URI_NO_MEMORY)
        return token_status::out_of_memory;
    if (result != P11_KIT_URI_OK || p11kit.uri_any_unrecognized(uri.get())
        || p11kit.uri_get_pin_value(uri.get()) || p11kit.uri_get_pin_source(uri.get()))
        return token_status::bad_uri;
    const CK_ATTRIBUTE *type = p11kit.uri_get_attribute(uri.get(), CKA_CLASS);
    if (type
        && (type->ulValueLen != sizeof(CK_OBJECT_CLASS)
            || *static_cast<const CK_OBJECT_CLASS *>(type->pValue) != CKO_PRIVATE_KEY))
        return token_status::bad_uri;
    *parsed = std::move(uri);
    return token_status::ready;
}

// What a failed module start means for the user.
token_status start_failure(CK_RV result)
{
    return result == CKR_HOST_MEMORY ? token_status::out_of_memory
                                     : token_status::module_unloadable;
}

// The module at path, and no registry: nothing but that module's own code and
// configuration is read.
token_status load_module_at(const char *path, token_key &key)
{
    key.loaded = p11kit.module_load(path, 0);
    if (!key.loaded)
        return token_status::module_unloadable;
    const CK_RV started = noted(p11kit.module_initialize(key.loaded));
    if (started != CKR_OK) {
        p11kit.module_release(key.loaded);
        key.loaded = nullptr;
        return start_failure(started);
    }
    return token_status::ready;
}

// The registered module called name, the only one started: another
// module's start could write to the user's terminal, or hang.
token_status load_module_named(const char *name, token_key &key)
{
    key.registry = p11kit.modules_load(nullptr, 0);
    if (!key.registry)
        return token_status::module_unloadable;
    CK_FUNCTION_LIST *named = p11kit.module_for_name(key.registry, name);
    if (!named)
        return token_status::module_unloadable;
    const CK_RV started = noted(p11kit.module_initialize(named));
    if (started != CKR_OK)
        return start_failure(started);
    key.started = named;
    return token_status::ready;
}

// The modules to look in: the module-path one, the registered one called
// module-name, or else every registered module.
token_status load_modules(const P11KitUri *uri, token_key &key,
                          std::vector<CK_FUNCTION_LIST *> *modules)
{
    token_status loaded = token_status::ready;
    if (const char *path = p11kit.uri_get_module_path(uri)) {
        loaded = load_module_at(path, key);
        modules->push_back(key.loaded);
    } else if (const char *name = p11kit.uri_get_module_name(uri)) {
        loaded = load_module_named(name, key);
        modules->push_back(key.started);
    } else {
        key.registry = p11kit.modules_load_and_initialize(0);
        if (!key.registry)
            return token_status::module_unloadable;
        key.registry_started = true;
        for (CK_FUNCTION_LIST **module = key.registry; *module; ++module)
            modules->push_back(*module);
    }
    if (loaded == token_status::ready && modules->empty())
        return token_status::module_unloadable;
    return loaded;
}

std::vector<CK_SLOT_ID> slots_with_token(CK_FUNCTION_LIST *module)
{
    CK_ULONG count = 0;
    if (noted(module->C_GetSlotList(CK_TRUE, nullptr, &count)) != CKR_OK)
        return {};
    std::vector<CK_SLOT_ID> slots(count);
    if (count == 0 || noted(module->C_GetSlotList(CK_TRUE, slots.data(), &count)) != CKR_OK)
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
    if (noted(module->C_GetInfo(&module_info)) != CKR_OK
        || !p11kit.uri_match_module_info(uri, &module_info))
        return;
    for (CK_SLOT_ID slot : slots_with_token(module)) {
        CK_SLOT_INFO slot_info{};
        candidate token{module, slot, {}};
        if (noted(module->C_GetSlotInfo(slot, &slot_info)) == CKR_OK
            && p11kit.uri_match_slot_info(uri, &slot_info)
            && noted(module->C_GetTokenInfo(slot, &token.info)) == CKR_OK
            && (token.info.flags & CKF_TOKEN_INITIALIZED)
            && p11kit.uri_match_token_info(uri, &token.info))
            found->push_back(token);
    }
}

// The URI's object attributes (id, label), of an object of class type.
std::vector<CK_ATTRIBUTE> object_template(P11KitUri *uri, CK_OBJECT_CLASS *type)
{
    std::vector<CK_ATTRIBUTE> wanted{{CKA_CLASS, type, sizeof *type}};
    CK_ULONG count = 0;
    const CK_ATTRIBUTE *given = p11kit.uri_get_attributes(uri, &count);
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
    if (noted(module->C_FindObjectsInit(session, wanted.data(), wanted.size())) != CKR_OK)
        return {};
    std::vector<CK_OBJECT_HANDLE> objects(object_batch);
    CK_ULONG count = 0;
    if (noted(module->C_FindObjects(session, objects.data(), objects.size(), &count)) != CKR_OK)
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
    if (noted(token.module->C_OpenSession(token.slot, CKF_SERIAL_SESSION, nullptr, nullptr,
                                          &session))
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
// can pass it back as it stands. Adds nothing when the URI cannot be written.
void add_key_uri(P11KitUri *original, const CK_TOKEN_INFO &info,
                 const std::vector<CK_ATTRIBUTE> &attributes, std::vector<std::string> *uris)
{
    uri_handle uri(p11kit.uri_new());
    if (!uri) {
        memory_ran_out = true;
        return;
    }
    *p11kit.uri_get_token_info(uri.get()) = info;
    for (const CK_ATTRIBUTE &attribute : attributes)
        p11kit.uri_set_attribute(uri.get(), const_cast<CK_ATTRIBUTE *>(&attribute));
    if (const char *path = p11kit.uri_get_module_path(original))
        p11kit.uri_set_module_path(uri.get(), path);
    else if (const char *name = p11kit.uri_get_module_name(original))
        p11kit.uri_set_module_name(uri.get(), name);
    char *text = nullptr;
    const int result =
        p11kit.uri_format(uri.get(), P11_KIT_URI_FOR_OBJECT_ON_TOKEN_AND_MODULE, &text);
    if (result == P11_KIT_URI_NO_MEMORY)
        memory_ran_out = true;
    if (result != P11_KIT_URI_OK)
        return;
    const std::unique_ptr<char, text_free> owned(text);
    uris->push_back(text);
}

void list_tokens(P11KitUri *uri, const std::vector<candidate> &tokens,
                 std::vector<std::string> *candidates)
{
    CK_OBJECT_CLASS type = CKO_PRIVATE_KEY;
    const std::vector<CK_ATTRIBUTE> attributes = object_template(uri, &type);
    for (const candidate &token : tokens)
        add_key_uri(uri, token.info, attributes, candidates);
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
    return noted(key.module->C_GetMechanismInfo(key.slot, CKM_RSA_PKCS_OAEP, &info)) == CKR_OK
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
    if (noted(key.module->C_GetAttributeValue(key.session, object, &attribute, 1)) != CKR_OK
        || attribute.ulValueLen == CK_UNAVAILABLE_INFORMATION)
        return false;
    value->resize(attribute.ulValueLen);
    attribute.pValue = value->data();
    return noted(key.module->C_GetAttributeValue(key.session, object, &attribute, 1)) == CKR_OK;
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
    const CK_RV result = noted(key.module->C_Login(
        key.session, user, on_reader ? nullptr : reinterpret_cast<CK_UTF8CHAR *>(key.pin),
        key.pin_length));
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
        add_key_uri(uri, key.info,
                    {{CKA_CLASS, &type, sizeof type},
                     {CKA_ID, id.data(), id.size()},
                     {CKA_LABEL, label.data(), label.size()}},
                    candidates);
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
    const CK_RV started = noted(key.module->C_DecryptInit(key.session, &mechanism, key.object));
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
    const token_status loaded = load_modules(uri, key, &modules);
    if (loaded != token_status::ready)
        return loaded;
    candidate token{};
    const token_status chosen = choose_token(uri, modules, &token, candidates);
    if (chosen != token_status::ready)
        return chosen;
    key.module = token.module;
    key.slot = token.slot;
    key.info = token.info;
    if (!offers_oaep(key))
        return token_status::no_oaep;
    if (noted(key.module->C_OpenSession(key.slot, CKF_SERIAL_SESSION, nullptr, nullptr,
                                        &key.session))
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
    if (!knows_query(uri_text))
        return token_status::bad_uri;
    if (!open_p11kit())
        return token_status::module_unloadable;
    // p11-kit's own complaints would reach standard error, which is the user's.
    p11kit.be_quiet();
    memory_ran_out = false;
    uri_handle uri;
    const token_status parsed = parse_uri(uri_text, &uri);
    if (parsed != token_status::ready)
        return parsed;
    token_handle opened(new token_key);
    token_status status = open_key(*opened, uri.get(), supply_pin, candidates);
    OPENSSL_cleanse(opened->pin, sizeof opened->pin);
    opened->pin_length = 0;
    if (memory_ran_out)
        status = token_status::out_of_memory;
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
    const CK_RV decrypted = noted(key.module->C_Decrypt(
        key.session, const_cast<unsigned char *>(ciphertext), count, plaintext, &room));
    if (decrypted == CKR_HOST_MEMORY)
        return token_status::out_of_memory;
    if (decrypted != CKR_OK)
        return token_status::decryption_error;
    *length = room;
    return token_status::ready;
}
