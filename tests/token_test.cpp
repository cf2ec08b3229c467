// SPDX-License-Identifier: BSD-2-Clause
// Keys kept in a hardware token, played by SoftHSM2: each test gets token
// folders of its own (SOFTHSM2_CONF), into which the fixture keys are
// imported as PKCS#8. Each test names its module by path, so that whatever
// else the machine has registered with p11-kit stays out of it, but for the
// one test of the registry itself.
#include "harness.h"
#include "services.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unistd.h>
#include <fstream>
#include <sstream>

namespace {

constexpr char token_label[] = "velkin-test";
constexpr char user_pin[] = "1234";
constexpr char pin_prompt[] = "Enter PIN for token 'velkin-test': ";
constexpr char uri_error[] = "Error: Bad PKCS#11 URI.\n";
constexpr char module_error[] = "Error: Could not load the PKCS#11 module.\n";
constexpr char no_match_error[] = "Error: No token key matches the URI.\n";
constexpr char several_error[] = "Error: Several token keys match the URI.\n";

const std::string public_2048 = fixture("rsa2048.pub.pem");

// Whether SoftHSM2 is registered with p11-kit under its usual name.
bool softhsm_registered()
{
    return !first_existing({"/usr/share/p11-kit/modules/softhsm2.module",
                            "/etc/pkcs11/modules/softhsm2.module",
                            "/usr/local/share/p11-kit/modules/softhsm2.module",
                            "/usr/local/etc/pkcs11/modules/softhsm2.module"})
                .empty();
}

// p11-kit's client module, which reaches tokens that p11-kit server serves.
std::string p11kit_client_module()
{
    return first_existing({"/usr/lib/*/pkcs11/p11-kit-client.so",
                           "/usr/lib/pkcs11/p11-kit-client.so",
                           "/usr/local/lib/pkcs11/p11-kit-client.so"});
}

std::string lines(const std::string &first, const std::string &second)
{
    return first + "\n" + second + "\n";
}

bool run_tool(const std::string &command)
{
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

class Token : public testing::Test {
protected:
    void SetUp() override
    {
        module = softhsm_module();
        if (module.empty())
            GTEST_SKIP() << "SoftHSM2 is not installed";
        char dir[] = "/tmp/velkin-token-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        folder = dir;
        ASSERT_TRUE(run_tool("mkdir " + folder + "/tokens"));
        const std::string config = folder + "/softhsm2.conf";
        FILE *file = std::fopen(config.c_str(), "w");
        ASSERT_NE(file, nullptr);
        std::fprintf(file, "directories.tokendir = %s/tokens\nobjectstore.backend = file\n"
                           "log.level = ERROR\n", folder.c_str());
        std::fclose(file);
        setenv("SOFTHSM2_CONF", config.c_str(), 1);
    }

    void TearDown() override
    {
        EXPECT_TRUE(stop_service(server)) << "p11-kit server is still running";
        unsetenv("P11_KIT_SERVER_ADDRESS");
        unsetenv("SOFTHSM2_CONF");
        if (!folder.empty())
            run_tool("rm -rf " + folder);
    }

    void init_token(const std::string &label = token_label)
    {
        ASSERT_TRUE(run_tool("softhsm2-util --init-token --free --label " + label
                             + " --so-pin 12345678 --pin " + user_pin));
    }

    // The fixture key in PKCS#8 form, the only one the import tools take.
    std::string pkcs8_of(const std::string &name)
    {
        const std::string path = folder + "/" + name + ".p8.pem";
        FILE *in = std::fopen(fixture(name + ".pem").c_str(), "r");
        EVP_PKEY *key = in ? PEM_read_PrivateKey(in, nullptr, nullptr, nullptr) : nullptr;
        if (in)
            std::fclose(in);
        FILE *out = std::fopen(path.c_str(), "w");
        const bool written = key && out
            && PEM_write_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
        if (out)
            std::fclose(out);
        EVP_PKEY_free(key);
        EXPECT_TRUE(written) << path;
        return path;
    }

    // Imports the fixture key as a private object, with its public half.
    void import_key(const std::string &name, const std::string &label, const std::string &id,
                    const std::string &token = token_label)
    {
        ASSERT_TRUE(run_tool("softhsm2-util --import " + pkcs8_of(name) + " --token " + token
                             + " --label " + label + " --id " + id + " --pin " + user_pin));
    }

    // Writes the fixture key alone, with CKA_ALWAYS_AUTHENTICATE set.
    void write_always_auth_key(const std::string &name, const std::string &label,
                               const std::string &id)
    {
        ASSERT_TRUE(run_tool("pkcs11-tool --module " + module + " --token-label " + token_label
                             + " --login --pin " + user_pin + " --write-object " + pkcs8_of(name)
                             + " --type privkey --always-auth --id " + id + " --label " + label));
    }

    // Writes the fixture key alone as a public object: usable without a login.
    void write_public_key_object(const std::string &name, const std::string &label,
                                 const std::string &id)
    {
        ASSERT_TRUE(run_tool("GNUTLS_PIN=" + std::string(user_pin) + " p11tool --provider "
                             + module + " --login --write --no-mark-private --load-privkey "
                             + pkcs8_of(name) + " --label " + label + " --id " + id
                             + " 'pkcs11:token=" + token_label + "'"));
    }

    std::string uri(const std::string &path_attributes) const
    {
        return "pkcs11:" + path_attributes + "?module-path=" + module;
    }

    // The token's flags as pkcs11-tool lists them.
    std::string token_flags() const
    {
        std::string listed;
        FILE *list = popen(("pkcs11-tool --module " + module + " -L 2>/dev/null").c_str(), "r");
        char chunk[512];
        for (size_t got; list && (got = std::fread(chunk, 1, sizeof chunk, list)) > 0;)
            listed.append(chunk, got);
        if (list)
            pclose(list);
        return listed;
    }

    std::string module;
    std::string folder;
    pid_t server = -1;
};

TEST_F(Token, AnswersFromAScript)
{
    init_token();
    import_key("rsa2048", "login-key", "01");
    import_key("rsa4096", "big-key", "02");
    const struct {
        const char *why;
        std::string uri;
        std::string public_key;
        std::string plaintext;
    } cases[] = {
        {"by label", uri("token=velkin-test;object=login-key"), public_2048, "the server's secret"},
        {"by id", uri("id=%01"), public_2048, "by id"},
        {"empty plaintext", uri("object=login-key"), public_2048, ""},
        {"longest plaintext", uri("object=login-key"), public_2048, std::string(256 - 42, 'p')},
        {"4096-bit key", uri("object=big-key;type=private"), fixture("rsa4096.pub.pem"),
         std::string(512 - 42, 'q')},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.why);
        const std::string challenge = make_challenge(c.public_key, c.plaintext);
        expect_answer(run_piped({c.uri}, lines(user_pin, challenge)), c.plaintext);
    }
}

TEST_F(Token, KeyWithoutLoginSkipsThePinLine)
{
    init_token();
    write_public_key_object("rsa2048", "open-key", "03");
    const std::string challenge = make_challenge(public_2048, "no PIN needed");
    expect_answer(run_piped({uri("object=open-key")}, lines("not a PIN", challenge)),
                  "no PIN needed");
    expect_answer(run_piped({uri("object=open-key")}, challenge + "\n"), "no PIN needed");
}

TEST_F(Token, KeyWantingALoginPerUseTakesTheSamePin)
{
    init_token();
    write_always_auth_key("rsa2048", "each-use", "04");
    const std::string plaintext = "always authenticate";
    const std::string challenge = make_challenge(public_2048, plaintext);
    expect_answer(run_piped({uri("object=each-use")}, lines(user_pin, challenge)), plaintext);

    terminal_run run = start_at_terminal({uri("object=each-use")});
    ASSERT_TRUE(wait_for(run, pin_prompt)) << run.seen;
    const int status = complete_at_terminal(run, user_pin, challenge);
    EXPECT_EQ(exit_code(status), 0) << run.seen;
    EXPECT_EQ(run.seen.find(pin_prompt), run.seen.rfind(pin_prompt)) << "asked twice";
}

TEST_F(Token, AsksForThePinAtATerminalWithoutEcho)
{
    init_token();
    import_key("rsa2048", "login-key", "01");
    const std::string plaintext = "typed at the terminal";
    terminal_run run = start_at_terminal({uri("object=login-key")});
    ASSERT_TRUE(wait_for(run, pin_prompt)) << run.seen;
    EXPECT_FALSE(terminal_echoes(run));
    const int status = complete_at_terminal(run, user_pin, make_challenge(public_2048, plaintext));

    EXPECT_EQ(exit_code(status), 0);
    EXPECT_EQ(run.seen.find(user_pin), std::string::npos) << "the PIN was echoed";
    EXPECT_EQ(run.seen.find(pin_prompt), 0u) << run.seen;
    const std::string answer = std::string(response_prefix) + expected_response(plaintext) + "\r\n";
    EXPECT_EQ(run.seen.substr(run.seen.size() - answer.size()), answer) << run.seen;
}

TEST_F(Token, ReportsEachFailure)
{
    init_token();
    import_key("rsa2048", "login-key", "01");
    import_key("ec", "ec-key", "05");
    const std::string challenge = make_challenge(public_2048, "secret");
    const std::string foreign = make_challenge(fixture("other2048.pub.pem"), "secret");
    const std::string key = uri("object=login-key");
    const struct {
        const char *why;
        std::string uri;
        std::string input;
        const char *message;
    } cases[] = {
        {"unparsable", "pkcs11:object=%zz", lines(user_pin, challenge), uri_error},
        {"unknown attribute", uri("object=login-key;colour=red"), lines(user_pin, challenge),
         uri_error},
        {"unknown query attribute", key + "&colour=red", lines(user_pin, challenge), uri_error},
        {"misspelt module-path", "pkcs11:object=login-key?modulepath=" + module,
         lines(user_pin, challenge), uri_error},
        {"query attribute without value", key + "&module-name", lines(user_pin, challenge),
         uri_error},
        {"PIN value", key + "&pin-value=1234", lines(user_pin, challenge), uri_error},
        {"PIN source", key + "&pin-source=file:/etc/passwd", lines(user_pin, challenge), uri_error},
        {"not a private key", uri("object=login-key;type=public"), lines(user_pin, challenge),
         uri_error},
        {"missing module", "pkcs11:object=login-key?module-path=" + folder + "/none.so",
         lines(user_pin, challenge), module_error},
        {"unregistered module", "pkcs11:object=login-key?module-name=no-such-module",
         lines(user_pin, challenge), module_error},
        {"no such token", uri("token=elsewhere"), lines(user_pin, challenge), no_match_error},
        {"no such key", uri("object=lost-key"), lines(user_pin, challenge), no_match_error},
        {"EC key", uri("object=ec-key"), lines(user_pin, challenge), no_match_error},
        {"challenge for another key", key, lines(user_pin, foreign), decryption_error},
        {"shorter than the modulus", key, lines(user_pin, challenge.substr(0, 300)),
         decryption_error},
        {"lone symbol before =", key, lines(user_pin, challenge.substr(0, 341) + "="),
         challenge_error},
        {"empty challenge", key, user_pin + std::string("\n"), decryption_error},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.why);
        expect_failure(run_piped({c.uri}, c.input), c.message);
    }
}

TEST_F(Token, TriesAPinOnceAndNeverAnEmptyOne)
{
    init_token();
    import_key("rsa2048", "login-key", "01");
    const std::string challenge = make_challenge(public_2048, "secret");
    const std::string key = uri("object=login-key");

    expect_failure(run_piped({key}, lines("", challenge)), pin_error);
    expect_failure(run_piped({key}, ""), pin_error);
    terminal_run run = start_at_terminal({key});
    ASSERT_TRUE(wait_for(run, pin_prompt)) << run.seen;
    type(run, "\r");
    EXPECT_EQ(exit_code(finish(run)), 255);
    EXPECT_NE(run.seen.find("Error: Unable to use the token key, is the PIN wrong?\r\n"),
              std::string::npos)
        << run.seen;
    EXPECT_EQ(run.seen.find(challenge_prompt), std::string::npos);
    EXPECT_EQ(token_flags().find("user PIN count low"), std::string::npos)
        << "an empty PIN was tried on the token";

    // The right PIN on the next line must not be tried after the wrong one.
    expect_failure(run_piped({key}, "9999\n" + lines(user_pin, challenge)), pin_error);
    EXPECT_NE(token_flags().find("user PIN count low"), std::string::npos);
}

TEST_F(Token, ChoosesAmongTokensWithoutOfferingThePinToSeveral)
{
    init_token("alpha");
    init_token("beta");
    import_key("rsa2048", "login-key", "01", "alpha");
    import_key("other2048", "login-key", "01", "beta");
    import_key("rsa4096", "only-here", "02", "beta");
    const std::string challenge = make_challenge(public_2048, "secret");

    // Only one token shows a key of that label.
    const std::string big = make_challenge(fixture("rsa4096.pub.pem"), "from beta");
    expect_answer(run_piped({uri("object=only-here")}, lines(user_pin, big)), "from beta");

    const piped_run several = run_piped({uri("object=login-key")}, lines(user_pin, challenge));
    EXPECT_EQ(several.out, several_error);
    EXPECT_EQ(exit_code(several.wait_status), 255);
    std::vector<std::string> listed;
    for (size_t at = 0, end; (end = several.err.find('\n', at)) != std::string::npos; at = end + 1)
        listed.push_back(several.err.substr(at, end - at));
    ASSERT_EQ(listed.size(), 2u) << several.err;
    std::sort(listed.begin(), listed.end(), [](const std::string &a, const std::string &b) {
        return a.find("token=alpha") != std::string::npos && b.find("token=alpha") == std::string::npos;
    });
    EXPECT_NE(listed[0].find("token=alpha"), std::string::npos) << several.err;
    EXPECT_NE(listed[1].find("token=beta"), std::string::npos) << several.err;

    // A listed URI names its key, ready to use.
    expect_answer(run_piped({listed[0]}, lines(user_pin, challenge)), "secret");
}

TEST_F(Token, StartsOnlyTheRegisteredModuleItNames)
{
    if (!softhsm_registered())
        GTEST_SKIP() << "SoftHSM2 is not registered with p11-kit";
    init_token();
    import_key("rsa2048", "login-key", "01");
    const std::string plaintext = "through the registry";
    const std::string challenge = make_challenge(public_2048, plaintext);

    // Any other registered module (a TPM's with no TPM, say) would complain
    // on standard error if it were started.
    expect_answer(run_piped({"pkcs11:token=velkin-test;object=login-key?module-name=softhsm2"},
                            lines(user_pin, challenge)),
                  plaintext);

    // Without a name every registered module starts, and may say what it likes.
    // Debian's tpm2-pkcs11, failing to start with no TPM, leaks a block of
    // libcrypto's, which a sanitized build would report as velkin's; only this
    // run lets leaks in libcrypto pass.
    const std::string suppressions = folder + "/leaks.supp";
    std::ofstream(suppressions) << "leak:libcrypto.so\n";
    setenv("LSAN_OPTIONS", ("suppressions=" + suppressions).c_str(), 1);
    const piped_run all =
        run_piped({"pkcs11:token=velkin-test;object=login-key"}, lines(user_pin, challenge));
    unsetenv("LSAN_OPTIONS");
    EXPECT_EQ(all.out, expected_response(plaintext) + "\n") << all.err;
    EXPECT_EQ(exit_code(all.wait_status), 0) << all.err;
}

TEST_F(Token, AnswersThroughP11KitServer)
{
    const std::string client = p11kit_client_module();
    if (client.empty() || !have_program("p11-kit"))
        GTEST_SKIP() << "p11-kit's server or its client module is not installed";
    init_token();
    import_key("rsa2048", "login-key", "01");
    const std::string socket = folder + "/server.socket";
    const std::string log = folder + "/server.log";
    server = start_service({"p11-kit", "server", "-f", "-n", socket, "--provider", module,
                            "pkcs11:token=" + std::string(token_label)},
                           log);
    ASSERT_TRUE(wait_for_path(socket)) << output_of("cat " + log);
    setenv("P11_KIT_SERVER_ADDRESS", ("unix:path=" + socket).c_str(), 1);
    const std::string key = "pkcs11:token=velkin-test;object=login-key?module-path=" + client;
    const std::string plaintext = "served over a socket";
    const std::string challenge = make_challenge(public_2048, plaintext);

    expect_answer(run_piped({key}, lines(user_pin, challenge)), plaintext);
    expect_failure(run_piped({key}, "9999\n" + lines(user_pin, challenge)), pin_error);
    EXPECT_NE(token_flags().find("user PIN count low"), std::string::npos)
        << "the wrong PIN never reached the token";

    // With the server gone the client module shows no token at all.
    ASSERT_TRUE(stop_service(server));
    server = -1;
    expect_failure(run_piped({key}, lines(user_pin, challenge)), no_match_error);
}

// A module that runs out of memory, whichever call it is in, makes the run
// say so, not that the PIN was wrong or that no key was found.
TEST(FakeModule, SaysMemoryRanOutWhereverTheModuleDoes)
{
    const std::string key = "pkcs11:token=fake?module-path=" FAKE_MODULE;
    const std::string challenge = make_challenge(public_2048, "secret");
    for (const char *call : {"initialize", "slots", "login", "decrypt"}) {
        SCOPED_TRACE(call);
        setenv("VELKIN_FAKE_HOST_MEMORY", call, 1);
        expect_failure(run_piped({key}, lines(user_pin, challenge)), out_of_memory_error);
    }
    unsetenv("VELKIN_FAKE_HOST_MEMORY");
    expect_failure(run_piped({key}, lines(user_pin, challenge)), decryption_error);
}

// Whether the running process has a library whose name holds name mapped.
bool maps_library(pid_t pid, const std::string &name)
{
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    std::stringstream text;
    text << maps.rdbuf();
    return text.str().find(name) != std::string::npos;
}

// p11-kit's start-up code reads its variables as soon as it is loaded; a key
// file run must neither load it nor so read any of them.
TEST(KeyFile, LoadsNoTokenCode)
{
    setenv("P11_KIT_DEBUG", "all", 1);
    const std::string plaintext = "no token here";
    const std::string challenge = make_challenge(public_2048, plaintext);
    expect_answer(run_piped({fixture("rsa2048.pem")}, lines("", challenge)), plaintext);

    terminal_run run = start_at_terminal({fixture("rsa2048-aes256.pem")});
    ASSERT_TRUE(wait_for(run, passphrase_prompt)) << run.seen;
    if (access("/proc/self/maps", R_OK) == 0) {
        EXPECT_TRUE(maps_library(run.pid, "libcrypto")) << "no view of velkin's libraries";
        EXPECT_FALSE(maps_library(run.pid, "libp11-kit"));
    }
    EXPECT_EQ(exit_code(complete_at_terminal(run, fixture_passphrase, challenge)), 0) << run.seen;
    EXPECT_EQ(run.seen.find("p11-kit"), std::string::npos) << run.seen;
    unsetenv("P11_KIT_DEBUG");
}

} // namespace
