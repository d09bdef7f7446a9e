// The CGI form layer shared by the three web programs: it owns main(), reads the CGI environment,
// decodes the submitted form (URL-encoded or multipart) into a list of named entries, calls the
// program's cgiMain, frees everything (temporary upload files included) and exits with its result.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

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
    cgiFormIO = 8, // an uploaded file that cannot be read back
};

enum cgiParseResultType {
    cgiParseSuccess = 0,
    cgiParseMemory = 1,
    cgiParseIO = 2,
};

// Supplied by each program: the request handler, called once with the parsed form.
int cgiMain();

// Lookups: the first entry whose name equals `name` exactly. A field whose name holds a NUL byte is
// dropped by the parsers: it names no field.
// A value that holds a NUL byte ("%00", or one in a multipart part) is no text any form sends, and
// no prefix of it is ever taken: the string lookups answer cgiFormTruncated with an empty result (the
// one result every program refuses: nothing is stored), the choice lookups cgiFormNoSuchChoice.
cgiFormResultType cgiFormString(const char *name, char *result, int max);
cgiFormResultType cgiFormStringNoNewlines(const char *name, char *result, int max);
cgiFormResultType cgiFormCheckboxSingle(const char *name);
// Select and radio: the index of the value among `choices`; cgiFormNoSuchChoice for any other value and
// cgiFormNotFound without the field, both with *result = defaultV: a program that stores a choice must
// look at the result, never at *result alone.
cgiFormResultType cgiFormSelectSingle(const char *name, const char **choices, int choicesTotal, int *result,
                                      int defaultV);
cgiFormResultType cgiFormRadio(const char *name, const char **choices, int choicesTotal, int *result, int defaultV);

// True when a submit button of that name was sent, whatever its value (an empty value counts).
bool cgiFormButtonPressed(const char *name);

// An uploaded file's bytes (a multipart part of that name with a file name), into `content` (at most
// `max` bytes): cgiFormSuccess, cgiFormEmpty for an empty file, cgiFormTruncated when it is longer
// (nothing taken), cgiFormNotFound without such a part (a plain field of that name is no file), and
// cgiFormIO when the upload cannot be read.
cgiFormResultType cgiFormFileContent(const char *name, std::string *content, size_t max);

// Ends the header of an answer: writes the headers every answer carries (X-Frame-Options: DENY,
// Content-Security-Policy: default-src 'self'; frame-ancestors 'none', X-Content-Type-Options: nosniff,
// Referrer-Policy: same-origin, Cache-Control: no-store), then "Content-type: TYPE" and the blank
// line. Every answer of every program goes through it; a program writes its other headers (Status,
// Allow, Set-Cookie) before it, and never these.
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
// Appends a field to the entry list as if the request had sent it: how the JSON API hands a setting to
// the form programs' own actions, so that a value is checked and stored by the one rule the page uses.
// False on allocation failure or a name that holds a NUL.
bool cgiFormAdd(const std::string &name, const std::string &value);
// The whole request: init, parse, cgiMain (when the parse succeeded), free; returns the exit status.
int cgiRun();
