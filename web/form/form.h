// The CGI form layer shared by the three web programs: it owns main(), reads the CGI environment,
// decodes the submitted form (URL-encoded or multipart) into a list of named entries, calls the
// program's cgiMain, frees everything (temporary upload files included) and exits with its result.
#pragma once

#include <cstdio>

// Environment strings: never null; an unset variable reads as "".
extern const char *cgiServerSoftware;
extern const char *cgiServerName;
extern const char *cgiGatewayInterface;
extern const char *cgiServerProtocol;
extern const char *cgiServerPort;
extern const char *cgiRequestMethod;
extern const char *cgiPathInfo;
extern const char *cgiPathTranslated;
extern const char *cgiScriptName;
extern const char *cgiQueryString;
extern const char *cgiRemoteHost;
extern const char *cgiRemoteAddr;
extern const char *cgiAuthType;
extern const char *cgiRemoteUser;
extern const char *cgiRemoteIdent;
extern const char *cgiAccept;
extern const char *cgiUserAgent;
extern const char *cgiReferrer;
extern const char *cgiCookie;

// CONTENT_TYPE up to the first ';' (at most 1023 characters).
extern char cgiContentType[1024];
// The "boundary=" parameter of CONTENT_TYPE, or "".
extern char cgiMultipartBoundary[1024];
// CONTENT_LENGTH (0 when unset); for GET the length of the query string.
extern int cgiContentLength;

extern FILE *cgiIn;
extern FILE *cgiOut;

struct cgiFormEntry {
    char *attr;
    char *value;
    int valueLength;
    char *fileName;
    char *contentType;
    char *tfileName;
    cgiFormEntry *next;
};

extern cgiFormEntry *cgiFormEntryFirst;

enum cgiFormResultType {
    cgiFormSuccess = 0,
    cgiFormTruncated = 1,
    cgiFormBadType = 2,
    cgiFormEmpty = 3,
    cgiFormNotFound = 4,
    cgiFormConstrained = 5,
    cgiFormNoSuchChoice = 6,
    cgiFormMemory = 7,
};

enum cgiParseResultType {
    cgiParseSuccess = 0,
    cgiParseMemory = 1,
    cgiParseIO = 2,
};

// Supplied by each program: the request handler, called once with the parsed form.
int cgiMain();

// Lookups: the first entry whose name equals `name` exactly.
cgiFormResultType cgiFormString(const char *name, char *result, int max);
cgiFormResultType cgiFormStringNoNewlines(const char *name, char *result, int max);
cgiFormResultType cgiFormCheckboxSingle(const char *name);
cgiFormResultType cgiFormSelectSingle(const char *name, const char **choices, int choicesTotal, int *result,
                                      int defaultV);
cgiFormResultType cgiFormRadio(const char *name, const char **choices, int choicesTotal, int *result, int defaultV);

// True when a submit button of that name was sent, whatever its value (an empty value counts).
bool cgiFormButtonPressed(const char *name);

// Writes "Content-type: TYPE\r\n\r\n" to cgiOut.
void cgiHeaderContentType(const char *mimeType);

// The pieces of the entry point, for the programs' main() and for tests and fuzzers.
// Fills the environment strings from the process environment and clears the entry list.
void cgiInit();
// Chooses the parser by method and content type and runs it.
cgiParseResultType cgiParseRequest();
cgiParseResultType cgiParseGetFormInput();
cgiParseResultType cgiParsePostFormInput();
cgiParseResultType cgiParsePostMultipartInput();
// Parses URL-encoded data of the given length into the entry list.
cgiParseResultType cgiParseFormInput(const char *data, int length);
// Decodes '+' and "%XX" escapes; the result is owned by the caller (free()); null on allocation failure.
char *cgiUnescapeChars(const char *s, int len);
// Frees every entry and deletes every temporary file.
void cgiFreeResources();
// The whole request: init, parse, cgiMain (when the parse succeeded), free; returns the exit status.
int cgiRun();
