// SPDX-License-Identifier: BSD-2-Clause
// Keys kept in a TPM 2.0, through tpm2-pkcs11: each test starts a software
// TPM (swtpm), a private D-Bus session and the TPM resource manager
// (tpm2-abrmd) on it, all as the current user, makes a token with
// tpm2_ptool, and stops everything again, checking it is gone.
#include "harness.h"
#include "services.h"

#include <gtest/gtest.h>

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unistd.h>

namespace {

constexpr char token_label[] = "velkin-tpm";
constexpr char user_pin[] = "1234";
constexpr char so_pin[] = "12345678";
constexpr char pin_prompt[] = "Enter PIN for token 'velkin-tpm': ";
constexpr char tcti[] = "tabrmd:bus_type=session";
// How long the resource manager may take to reach the TPM and show up on the bus.
constexpr int start_timeout_ms = 15000;

const std::string public_2048 = fixture("rsa2048.pub.pem");

// The variables through which tpm2-pkcs11 and the TPM tools find the TPM.
constexpr const char *tpm_variables[] = {"DBUS_SESSION_BUS_ADDRESS", "TPM2TOOLS_TCTI",
                                         "TPM2_PKCS11_TCTI", "TPM2_PKCS11_STORE"};

std::string lines(const std::string &first, const std::string &second)
{
    return first + "\n" + second + "\n";
}

// What is needed and missing, or empty.
std::string missing_tools(const std::string &module, const std::string &abrmd)
{
    std::string missing;
    for (const char *tool : {"swtpm", "dbus-daemon", "tpm2_ptool", "tpm2_getcap", "pkcs11-tool"})
        if (!have_program(tool))
            missing += std::string(" ") + tool;
    if (abrmd.empty())
        missing += " tpm2-abrmd";
    if (module.empty())
        missing += " tpm2-pkcs11";
    if (first_existing({"/usr/lib/*/libtss2-tcti-tabrmd.so.0", "/usr/lib/libtss2-tcti-tabrmd.so.0",
                        "/usr/local/lib/libtss2-tcti-tabrmd.so.0"})
            .empty())
        missing += " libtss2-tcti-tabrmd";
    return missing;
}

class TpmToken : public testing::Test {
protected:
    void SetUp() override
    {
        module = first_existing({"/usr/lib/*/pkcs11/libtpm2_pkcs11.so",
                                 "/usr/lib/pkcs11/libtpm2_pkcs11.so",
                                 "/usr/local/lib/pkcs11/libtpm2_pkcs11.so"});
        const std::string abrmd =
            first_existing({"/usr/sbin/tpm2-abrmd", "/usr/bin/tpm2-abrmd",
                            "/usr/local/sbin/tpm2-abrmd", "/usr/local/bin/tpm2-abrmd"});
        const std::string missing = missing_tools(module, abrmd);
        if (!missing.empty())
            GTEST_SKIP() << "not installed:" << missing;
        char dir[] = "/tmp/velkin-tpm-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        folder = dir;
        ASSERT_TRUE(run_quietly("mkdir " + folder + "/state " + folder + "/store"));

        const std::string bus = folder + "/bus";
        dbus = start_service({"dbus-daemon", "--session", "--address=unix:path=" + bus,
                              "--nofork", "--nopidfile"},
                             log());
        ASSERT_TRUE(wait_for_path(bus)) << output_of("cat " + log());

        // The TPM's commands on one port, its control channel on the next.
        const int ports = free_tcp_port_pair();
        ASSERT_GT(ports, 0);
        const std::string port = std::to_string(ports);
        tpm = start_service({"swtpm", "socket", "--tpm2", "--server", "type=tcp,port=" + port,
                             "--ctrl", "type=tcp,port=" + std::to_string(ports + 1), "--flags",
                             "not-need-init,startup-clear", "--tpmstate", "dir=" + folder + "/state"},
                            log());
        ASSERT_TRUE(wait_for_port(ports + 1)) << output_of("cat " + log());

        setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + bus).c_str(), 1);
        setenv("TPM2TOOLS_TCTI", tcti, 1);
        setenv("TPM2_PKCS11_TCTI", tcti, 1);
        setenv("TPM2_PKCS11_STORE", (folder + "/store").c_str(), 1);
        manager = start_service({abrmd, "--session", "--flush-all", "--allow-root",
                                 "--tcti=swtpm:host=127.0.0.1,port=" + port},
                                log());
        ASSERT_TRUE(wait_for_tpm()) << output_of("cat " + log());

        ASSERT_TRUE(ptool("init"));
        ASSERT_TRUE(ptool("addtoken --pid=1 --label=" + std::string(token_label)
                          + " --userpin=" + user_pin + " --sopin=" + so_pin));
    }

    void TearDown() override
    {
        // The resource manager first, while the TPM it holds open is there.
        EXPECT_TRUE(stop_service(manager)) << "tpm2-abrmd is still running";
        EXPECT_TRUE(stop_service(tpm)) << "swtpm is still running";
        EXPECT_TRUE(stop_service(dbus)) << "dbus-daemon is still running";
        for (const char *name : tpm_variables)
            unsetenv(name);
        if (!folder.empty())
            run_quietly("rm -rf " + folder);
    }

    std::string log() const { return folder + "/services.log"; }

    // Whether the TPM answers through the resource manager, within the time
    // they may take to start.
    bool wait_for_tpm()
    {
        for (int waited = 0; waited < start_timeout_ms; waited += 100) {
            if (!service_running(manager))
                return false;
            if (run_quietly("tpm2_getcap properties-fixed"))
                return true;
            usleep(100 * 1000);
        }
        return false;
    }

    bool ptool(const std::string &arguments)
    {
        return run_quietly("tpm2_ptool " + arguments);
    }

    // Imports the fixture key into the TPM token (its id the text id).
    void import_key(const std::string &name, const std::string &label, const std::string &id,
                    const std::string &extra = "")
    {
        ASSERT_TRUE(ptool("import --label=" + std::string(token_label) + " --key-label=" + label
                          + " --id=" + id + " --userpin=" + user_pin + " --privkey="
                          + fixture(name + ".pem") + " --algorithm=rsa " + extra));
    }

    // The TPM's count of failed authorizations (its dictionary-attack
    // counter), or -1 when it cannot be read.
    long lockout_counter()
    {
        const std::string properties = output_of("tpm2_getcap properties-variable");
        const std::string name = "TPM2_PT_LOCKOUT_COUNTER:";
        const size_t at = properties.find(name);
        if (at == std::string::npos)
            return -1;
        return std::strtol(properties.c_str() + at + name.size(), nullptr, 0);
    }

    // The public key object labelled label, read off the token, as a PEM file.
    std::string read_public_key(const std::string &label)
    {
        const std::string der = folder + "/" + label + ".der";
        const std::string pem = folder + "/" + label + ".pem";
        EXPECT_TRUE(run_quietly("pkcs11-tool --module " + module + " --token-label "
                                + token_label + " --read-object --type pubkey --label " + label
                                + " -o " + der));
        FILE *in = std::fopen(der.c_str(), "rb");
        EVP_PKEY *key = in ? d2i_PUBKEY_fp(in, nullptr) : nullptr;
        if (in)
            std::fclose(in);
        FILE *out = std::fopen(pem.c_str(), "w");
        const bool written = key && out && PEM_write_PUBKEY(out, key) == 1;
        if (out)
            std::fclose(out);
        EVP_PKEY_free(key);
        EXPECT_TRUE(written) << der;
        return pem;
    }

    std::string uri(const std::string &path_attributes) const
    {
        return "pkcs11:token=" + std::string(token_label) + ";" + path_attributes
            + "?module-path=" + module;
    }

    std::string module;
    std::string folder;
    pid_t dbus = -1;
    pid_t tpm = -1;
    pid_t manager = -1;
};

TEST_F(TpmToken, AnswersPipedAndAtATerminal)
{
    import_key("rsa2048", "login-key", "01");
    const std::string plaintext = "from the TPM";
    const std::string challenge = make_challenge(public_2048, plaintext);
    expect_answer(run_piped({uri("object=login-key")}, lines(user_pin, challenge)), plaintext);
    // tpm2_ptool keeps the id's text: --id=01 is the bytes "01".
    expect_answer(run_piped({uri("id=01;type=private")}, lines(user_pin, challenge)), plaintext);

    terminal_run run = start_at_terminal({uri("object=login-key")});
    ASSERT_TRUE(wait_for(run, pin_prompt)) << run.seen;
    EXPECT_FALSE(terminal_echoes(run));
    EXPECT_EQ(exit_code(complete_at_terminal(run, user_pin, challenge)), 0) << run.seen;
    const std::string answer = std::string(response_prefix) + expected_response(plaintext) + "\r\n";
    ASSERT_GE(run.seen.size(), answer.size()) << run.seen;
    EXPECT_EQ(run.seen.substr(run.seen.size() - answer.size()), answer) << run.seen;

    // The TPM refuses another key's ciphertext; the module says why on
    // standard error, which is its own to use.
    const piped_run foreign = run_piped(
        {uri("object=login-key")},
        lines(user_pin, make_challenge(fixture("other2048.pub.pem"), plaintext)));
    EXPECT_EQ(foreign.out, decryption_error) << foreign.err;
    EXPECT_EQ(exit_code(foreign.wait_status), 255);
}

TEST_F(TpmToken, TriesAWrongPinOnce)
{
    import_key("rsa2048", "login-key", "01");
    const std::string challenge = make_challenge(public_2048, "secret");
    const long before = lockout_counter();
    ASSERT_GE(before, 0);

    // The right PIN on the next line must not be tried after the wrong one.
    const piped_run run =
        run_piped({uri("object=login-key")}, "9999\n" + lines(user_pin, challenge));
    EXPECT_EQ(run.out, pin_error) << run.err;
    EXPECT_EQ(exit_code(run.wait_status), 255);
    EXPECT_EQ(lockout_counter(), before + 1);
}

TEST_F(TpmToken, KeyWantingALoginPerUseTakesTheSamePin)
{
    import_key("rsa2048", "each-use", "02", "--attr-always-authenticate");
    const std::string plaintext = "always authenticate";
    expect_answer(run_piped({uri("object=each-use")},
                            lines(user_pin, make_challenge(public_2048, plaintext))),
                  plaintext);
    EXPECT_EQ(lockout_counter(), 0);
}

TEST_F(TpmToken, AnswersWithAKeyMadeInsideTheTpm)
{
    ASSERT_TRUE(ptool("addkey --label=" + std::string(token_label)
                      + " --key-label=made-here --id=03 --userpin=" + user_pin
                      + " --algorithm=rsa2048"));
    const std::string plaintext = "the key never left the TPM";
    const std::string challenge = make_challenge(read_public_key("made-here"), plaintext);
    expect_answer(run_piped({uri("object=made-here")}, lines(user_pin, challenge)), plaintext);
}

} // namespace
