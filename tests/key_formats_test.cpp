// SPDX-License-Identifier: BSD-2-Clause
// Every form in which a user may hold an RSA private key must answer, and
// every file that holds none must be refused before the challenge is read.
#include "harness.h"

#include <gtest/gtest.h>

#include <openssl/crypto.h>
#include <openssl/provider.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const std::string public_2048 = fixture("rsa2048.pub.pem");

struct key_form {
    const char *file;   // all hold the key of rsa2048.pem
    bool is_protected;  // by fixture_passphrase
    bool legacy_cipher; // needs OpenSSL's legacy provider
};

const key_form forms[] = {
    {"rsa2048.pem", false, false},                  // PKCS#1
    {"rsa2048-pkcs8.pem", false, false},            // PKCS#8
    {"rsa2048-aes128.pem", true, false},            // PKCS#1, PEM cipher header
    {"rsa2048-aes256.pem", true, false},
    {"rsa2048-des3.pem", true, false},
    {"rsa2048-des.pem", true, true},
    {"rsa2048-pkcs8-pbes2.pem", true, false},       // PBKDF2 and AES-256-CBC
    {"rsa2048-pkcs8-pbes1.pem", true, false},       // PBE-SHA1-3DES
    {"rsa2048-pkcs8-scrypt.pem", true, false},
    {"rsa2048-pkcs8-md5-des.pem", true, true},      // OpenSSL 1.0's default
    {"rsa2048-after-cert.pem", false, false},       // a certificate, then the key
    {"rsa2048-aes256-after-cert.pem", true, false},
    {"rsa2048-before-cert.pem", false, false},
    {"rsa2048-after-text.pem", false, false},       // attribute lines, then the key
    {"rsa2048-bom.pem", false, false},              // a UTF-8 byte order mark, then the key
};

// Whether OpenSSL's legacy module is where this libcrypto keeps its modules.
// Without it, keys protected with legacy ciphers must end in the key error.
bool legacy_module_present()
{
    OSSL_LIB_CTX *context = OSSL_LIB_CTX_new();
    OSSL_PROVIDER_set_default_search_path(context, OPENSSL_info(OPENSSL_INFO_MODULES_DIR));
    OSSL_PROVIDER *legacy = OSSL_PROVIDER_try_load(context, "legacy", 0);
    const bool present = legacy != nullptr;
    OSSL_PROVIDER_unload(legacy);
    OSSL_LIB_CTX_free(context);
    return present;
}

bool readable(const key_form &form)
{
    static const bool legacy = legacy_module_present();
    return !form.legacy_cipher || legacy;
}

std::string lines(const std::string &first, const std::string &second)
{
    return first + "\n" + second + "\n";
}

size_t count_of(const std::string &text, const std::string &part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

// The key error as the terminal shows it, with its line end made CR LF.
std::string at_terminal(const char *line)
{
    std::string shown(line);
    return shown.replace(shown.size() - 1, 1, "\r\n");
}

void expect_key_error(const piped_run &run)
{
    EXPECT_EQ(run.out, key_error);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(exit_code(run.wait_status), 255);
}

TEST(KeyForms, EveryFormAnswersFromAScript)
{
    for (const auto &form : forms) {
        SCOPED_TRACE(form.file);
        const std::string plaintext = std::string("answered with ") + form.file;
        const piped_run run = run_piped(
            {fixture(form.file)}, lines(fixture_passphrase, make_challenge(public_2048, plaintext)));
        if (readable(form))
            expect_answer(run, plaintext);
        else
            expect_key_error(run);
    }
}

TEST(KeyForms, EverySizeAnswersEveryPlaintextLength)
{
    for (int bits : {1024, 2048, 3072, 4096, 8192}) {
        const std::string name = "rsa" + std::to_string(bits);
        // Empty, one byte, and the most OAEP with SHA-1 carries in this modulus.
        for (size_t length : {size_t{0}, size_t{1}, static_cast<size_t>(bits / 8 - 42)}) {
            SCOPED_TRACE(name + ", plaintext of " + std::to_string(length) + " bytes");
            const std::string plaintext(length, 'm');
            const std::string challenge = make_challenge(fixture(name + ".pub.pem"), plaintext);
            expect_answer(run_piped({fixture(name + ".pem")}, lines("", challenge)), plaintext);
        }
    }
}

TEST(KeyForms, LegacyModuleIsFoundWhateverTheEnvironmentSays)
{
    if (!legacy_module_present())
        GTEST_SKIP() << "this machine has no legacy module";
    const std::string plaintext = "no variable moves the modules";
    const std::string input = lines(fixture_passphrase, make_challenge(public_2048, plaintext));
    setenv("OPENSSL_MODULES", "/nonexistent", 1);
    const piped_run run = run_piped({fixture("rsa2048-des.pem")}, input);
    unsetenv("OPENSSL_MODULES");
    expect_answer(run, plaintext);
}

TEST(KeyForms, ProtectedFormsAskOnceAtATerminal)
{
    for (const auto &form : forms) {
        if (!form.is_protected || !readable(form))
            continue;
        SCOPED_TRACE(form.file);
        const std::string plaintext = std::string("typed for ") + form.file;
        terminal_run run = start_at_terminal({fixture(form.file)});
        ASSERT_TRUE(wait_for(run, passphrase_prompt)) << run.seen;
        const int status = complete_at_terminal(run, fixture_passphrase, make_challenge(public_2048, plaintext));

        EXPECT_EQ(exit_code(status), 0) << run.seen;
        EXPECT_EQ(count_of(run.seen, passphrase_prompt), 1u) << run.seen;
        EXPECT_NE(run.seen.find(response_prefix + expected_response(plaintext) + "\r\n"),
                  std::string::npos)
            << run.seen;
    }
}

TEST(Refusals, FilesWithoutAnRsaPrivateKeyReadNoInput)
{
    const std::string input = lines(fixture_passphrase, make_challenge(public_2048, "unread"));
    for (const std::string &path :
         {fixture("ec.pem"), fixture("ed25519.pem"), fixture("rsa2048.pub.pem"),
          fixture("rsa2048-cert.pem"), fixture("empty.pem"), fixture("truncated.pem"),
          fixture("random.bin"), fixture("ec-after-cert.pem"), fixture("openssh-rsa.key"),
          std::string("/dev/zero")}) {
        SCOPED_TRACE(path);
        const file_run run = run_with_input_file({path}, input);
        EXPECT_EQ(run.out, key_error);
        EXPECT_EQ(exit_code(run.wait_status), 255);
        EXPECT_EQ(run.input_read, 0) << "no passphrase and no challenge may be read";
    }
}

// rsa2048.pem behind a megabyte of comment lines: a file one byte over the
// limit of what velkin reads, whose key would otherwise load.
std::string oversized_key_file()
{
    std::ifstream key_file(fixture("rsa2048.pem"), std::ios::binary);
    const std::string key((std::istreambuf_iterator<char>(key_file)),
                          std::istreambuf_iterator<char>());
    constexpr size_t limit = 1 << 20;
    const std::string comment_line = std::string(63, '#') + "\n";
    std::string text;
    while (text.size() + comment_line.size() + key.size() <= limit)
        text += comment_line;
    text.append(limit - key.size() - text.size(), '#');
    text += '\n' + key;
    char path[] = "/tmp/velkin-oversized-XXXXXX";
    const int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    return path;
}

TEST(Refusals, TerminalSaysWhatTheFileHeldInstead)
{
    const std::string oversized = oversized_key_file();
    const struct {
        std::string file;
        const char *hint; // the line standard error adds at a terminal
    } cases[] = {
        {fixture("openssh-rsa.key"),
         "velkin: the key is in OpenSSH's own format; if it is an RSA key, "
         "ssh-keygen -p -m PEM -f KEYFILE rewrites it in PEM form.\r\n"},
        {fixture("ed25519.pem"),
         "velkin: the file holds an Ed25519 private key; velkin needs an RSA one.\r\n"},
        {fixture("rsa2048.pub.pem"),
         "velkin: the file holds a public key; velkin needs the private key.\r\n"},
        // A real key, but behind more text than any key file holds.
        {oversized, "velkin: the file is larger than 1 MiB, more than any key file holds, "
                    "so it was not read.\r\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        terminal_run run = start_at_terminal({c.file});
        const int status = finish(run);
        EXPECT_EQ(exit_code(status), 255);
        EXPECT_EQ(run.seen, at_terminal(key_error) + c.hint);

        expect_key_error(run_piped({c.file}, lines("", "unread")));
    }
    std::remove(oversized.c_str());
}

TEST(Refusals, WrongPassphraseIsNotAskedForAgain)
{
    // Were the passphrase asked for again, the second line would open the key.
    const std::string input = "wrong\n" + lines(fixture_passphrase,
                                                 make_challenge(public_2048, "never answered"));
    for (const auto &form : forms) {
        if (!form.is_protected)
            continue;
        SCOPED_TRACE(form.file);
        expect_key_error(run_piped({fixture(form.file)}, input));

        terminal_run run = start_at_terminal({fixture(form.file)});
        ASSERT_TRUE(wait_for(run, passphrase_prompt)) << run.seen;
        type(run, "wrong\r");
        const int status = finish(run);
        EXPECT_EQ(exit_code(status), 255) << run.seen;
        EXPECT_EQ(count_of(run.seen, passphrase_prompt), 1u) << run.seen;
        EXPECT_NE(run.seen.find(at_terminal(key_error)), std::string::npos) << run.seen;
        EXPECT_EQ(run.seen.find(challenge_prompt), std::string::npos) << run.seen;
        EXPECT_EQ(run.seen.find("velkin: "), std::string::npos) << "the error explains itself";
    }
}

} // namespace
