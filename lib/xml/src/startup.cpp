// Load-time start-up of the library: namespace constants, then Xerces-C for each reader.
#include <clocale>
#include <cstdio>
#include <iostream>
#include <string>

#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLException.hpp>
#include <xercesc/util/XMLString.hpp>
#include <xercesc/util/XMLUni.hpp>

#include "wexxml/domparser.h"
#include "wexxml/wexxml_catalog.h"
#include "wexxml_internal.h"

namespace Nul {

// Defined here, ahead of the initialiser below, so they exist before any reader or writer runs.
wexxml::Markup const wexxml::markup;
UString const DomParser::XMLNS_NAMESPACE(L"http://www.w3.org/2000/xmlns/");
UString const wexxml::sax_xmlns_namespace(L"http://www.w3.org/2000/xmlns/");

namespace {

bool g_dom_ready = false;
bool g_sax_ready = false;

bool initialize_xerces() {
    try {
        xercesc::XMLPlatformUtils::Initialize(xercesc::XMLUni::fgXercescDefaultLocale);
        return true;
    } catch (xercesc::XMLException const &e) {
        char *text = xercesc::XMLString::transcode(e.getMessage());
        std::cerr << "Error during Xerces-c Initialization.\n"
                  << "  Exception message:" << (text ? text : "") << std::endl;
        xercesc::XMLString::release(&text);
        return false;
    }
}

// Stands in for the DLL entry point: runs once when the library is loaded. Xerces-C is never
// terminated here; it stays up for as long as the process may still hold readers.
struct Startup {
    Startup() {
        g_dom_ready = initialize_xerces();
        std::setlocale(LC_ALL, "");
        g_sax_ready = initialize_xerces();
    }
};

Startup const g_startup;

constexpr char const *kBuilt = "Tue Oct 16 22:52:51 2018";

} // namespace

bool wexxml::dom_ready() { return g_dom_ready; }
bool wexxml::sax_ready() { return g_sax_ready; }

int wexxml::sprint_verid(char *buf) { return std::sprintf(buf, "%-*s %s (%s)\n", 33, "libwexxml", "9.0.1.5", kBuilt); }

} // namespace Nul

extern "C" int libwexxml_print_verid(void) {
    char line[128];
    Nul::wexxml::sprint_verid(line);
    int n = std::printf("%s", line);
    std::fflush(stdout);
    return n;
}
