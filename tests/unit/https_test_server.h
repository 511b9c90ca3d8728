// A local HTTPS server for the web client tests.
//
// TestCertificates makes a throw-away CA and a server certificate for the
// product's host names (and a few reserved test names). HttpsTestServer runs
// cpp-httplib on a free port of 127.0.0.1 with that certificate; useServer()
// makes it the configuration's ca_file and maps every test host name's port 443
// there with connect_to, so the clients' real https://host/path URLs arrive.
//
// Register handlers on `http` before start(). Handlers that wait should use
// pause(), which returns early once the server is stopping.
#pragma once

#include "platform/config.h"

#include <httplib.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

inline const std::vector<std::string> kTestHosts = {"corvane.app",        "www.corvane.app", "api.whatsonchain.com",
                                                    "arc.gorillapool.io", "chain.test",      "other.test",
                                                    "pin.invalid",        "localhost.test"};

struct TestCertificates {
    std::string folder;
    std::string caFile; // PEM of the CA, for ca_file
    EVP_PKEY* caKey = nullptr;
    X509* caCert = nullptr;
    EVP_PKEY* serverKey = nullptr;
    X509* serverCert = nullptr;

    TestCertificates()
    {
        char pattern[] = "/tmp/kestrel-tls-XXXXXX";
        if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
        folder = pattern;
        caKey = EVP_EC_gen("P-256");
        serverKey = EVP_EC_gen("P-256");
        if (!caKey || !serverKey) throw std::runtime_error("key generation failed");
        caCert = makeCertificate("Kestrel Test CA", caKey, nullptr, caKey, true);
        std::string names = "IP:127.0.0.1,DNS:localhost";
        for (const auto& host : kTestHosts) names += ",DNS:" + host;
        serverCert = makeCertificate("Kestrel Test Server", serverKey, caCert, caKey, false, names);
        caFile = folder + "/ca.pem";
        FILE* file = std::fopen(caFile.c_str(), "w");
        if (!file || PEM_write_X509(file, caCert) != 1) throw std::runtime_error("cannot write the CA file");
        std::fclose(file);
    }

    ~TestCertificates()
    {
        X509_free(serverCert);
        X509_free(caCert);
        EVP_PKEY_free(serverKey);
        EVP_PKEY_free(caKey);
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }

    TestCertificates(const TestCertificates&) = delete;
    TestCertificates& operator=(const TestCertificates&) = delete;

private:
    static X509* makeCertificate(const char* commonName, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey, bool isCa,
                                 const std::string& altNames = {})
    {
        static long serial = 1;
        X509* cert = X509_new();
        X509_set_version(cert, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(cert), serial++);
        X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
        X509_gmtime_adj(X509_getm_notAfter(cert), 86400L);
        X509_set_pubkey(cert, key);
        X509_NAME* name = X509_get_subject_name(cert);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName), -1, -1,
                                   0);
        X509_set_issuer_name(cert, issuer ? X509_get_subject_name(issuer) : name);

        X509V3_CTX context;
        X509V3_set_ctx(&context, issuer ? issuer : cert, cert, nullptr, nullptr, 0);
        std::vector<std::pair<int, std::string>> extensions;
        if (isCa) {
            extensions = {{NID_basic_constraints, "critical,CA:TRUE"},
                          {NID_key_usage, "critical,keyCertSign,cRLSign"},
                          {NID_subject_key_identifier, "hash"}};
        } else {
            extensions = {{NID_basic_constraints, "CA:FALSE"},
                          {NID_key_usage, "critical,digitalSignature"},
                          {NID_ext_key_usage, "serverAuth"},
                          {NID_authority_key_identifier, "keyid"},
                          {NID_subject_alt_name, altNames}};
        }
        for (const auto& [nid, value] : extensions) {
            X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
            if (!extension || X509_add_ext(cert, extension, -1) != 1)
                throw std::runtime_error("cannot add a certificate extension");
            X509_EXTENSION_free(extension);
        }
        if (X509_sign(cert, issuerKey, EVP_sha256()) == 0) throw std::runtime_error("cannot sign a certificate");
        return cert;
    }
};

struct HttpsTestServer {
    TestCertificates certificates;
    httplib::SSLServer http {certificates.serverCert, certificates.serverKey};
    int port = 0;
    std::atomic<bool> stopping {false};
    std::thread thread;

    // Starts serving; port 0 takes any free port.
    void start(int wantedPort = 0)
    {
        // A proxy from the environment would take the requests elsewhere.
        for (const char* name : {"https_proxy", "HTTPS_PROXY", "http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"})
            ::unsetenv(name);
        http.set_keep_alive_timeout(1); // also how long stop() waits for an idle kept connection
        http.set_tcp_nodelay(true);     // no 40 ms stalls from Nagle and delayed ACKs
        if (wantedPort == 0) {
            port = http.bind_to_any_port("127.0.0.1");
        } else {
            port = wantedPort;
            if (!http.bind_to_port("127.0.0.1", wantedPort)) port = -1;
        }
        if (port <= 0) throw std::runtime_error("test server cannot bind");
        thread = std::thread([this] { http.listen_after_bind(); });
        while (!http.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    void stop()
    {
        stopping = true;
        if (thread.joinable()) {
            http.stop();
            thread.join();
        }
    }

    ~HttpsTestServer() { stop(); }

    // Sleeps up to ms, less when the server is stopping.
    void pause(int ms)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!stopping && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }

    // The configuration that sends every test host's port 443 here and
    // trusts the test CA; service_host stays the default product host.
    platform::Config routedConfig() const
    {
        platform::Config values;
        values.ca_file = certificates.caFile;
        for (const auto& host : kTestHosts)
            values.connect_to.push_back(host + ":443:127.0.0.1:" + std::to_string(port));
        return values;
    }

    void useServer() const { platform::setConfig(routedConfig()); }
};
