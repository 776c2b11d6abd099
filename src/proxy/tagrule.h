#pragma once

#include <QtGlobal>

namespace Tarnwick {

// The Script rule inside tags, over text the SCRIPT renaming has already made final. The
// text is read as a browser tokenises HTML: tags (start and end) with their attribute
// names and their values double-quoted, single-quoted or unquoted, comments, bogus
// comments, and the elements whose content is text (TEXTAREA, STYLE, TITLE and the
// like). In every tag:
//  - an event handler ("on" and more, any case; "only" names no event) and "srcdoc" get
//    their names overwritten with Z, as SCRIPT names are;
//  - a value that is a javascript: or vbscript: URL as the browser reads it (character
//    references decoded, any case, blanks and control characters before the scheme,
//    tabs and line breaks anywhere in it) is overwritten with "about:blank" and blanks
//    (neutraliseValue);
//  - a data: URL in src, href, data, action, formaction or xlink:href likewise, unless
//    its media type shows nothing that runs: none, image/*, audio/*, video/*, font/*
//    (no "+" subtype: "+xml" is read as a document), text/plain or text/css;
//    image/svg+xml only in an IMG's src, where it runs nothing.
// Inside an element whose content is text the tags are still read, so that those the
// browser reads there (in SVG or MathML) are not missed; the element's end tag ends
// whatever was being read, as it does for the browser, so that a quote in the text
// never hides a tag after it. The answer's head is not markup: the reading starts
// afresh after its first empty line.
// What a neutralised value becomes: `length` bytes of it from its byte `offset` on, of
// "about:blank" followed by blanks. An empty page, which loads nothing and runs nothing
// (an empty or "#" value would load the page itself into a frame); the browser strips
// the blanks from a URL's end, and an unquoted value overwritten whole hands nothing
// of itself to the rest of the tag. Every script URL is at least that long as written.
void neutraliseValue(char* bytes, qsizetype length, qsizetype offset);

class TagRule {
public:
    // A value is held from its first byte until it is judged; a value its first this many
    // bytes leave undecided is overwritten.
    static constexpr qsizetype MaxValueHeld = 1024;

    // Reads and rewrites text[0, ready), text[0] being the text's position `base` and
    // its first byte not yet final; `ended`: the text ends at `ready`. Returns how many
    // bytes from text[0] on are final now (all of them once the text has ended).
    qsizetype run(char* text, qsizetype base, qsizetype ready, bool ended);

private:
    enum class State : unsigned char {
        Data,
        TagOpen,
        EndTagOpen,
        Bang,
        BangDash,
        CommentStart,
        CommentStartDash,
        Comment,
        CommentEndDash,
        CommentEnd,
        CommentEndBang,
        Bogus,
        TagName,
        BeforeName,
        Name,
        AfterName,
        BeforeValue,
        Value,
        AfterValue,
        SelfClosing,
    };
    enum class Verdict : unsigned char { Open, Keep, Overwrite };
    // Where a value's URL reading is: its scheme, then for data: its media type.
    enum class Url : unsigned char { Scheme, Lead, Type, Subtype, Trail };
    static constexpr int NameBytes = 10; // the longest name any rule looks at

    // What the tokeniser reads: text[i, end), text[0] being the text's position `base`;
    // `ended`: nothing follows `end`.
    struct Cursor {
        char* text;
        qsizetype base;
        qsizetype i;
        qsizetype end;
        bool ended;
    };

    // tagrule.cpp: the tokeniser, one function for each group of states. Those that may
    // have to wait for more bytes return false when they do.
    void scan(char* text, qsizetype base, qsizetype end, bool ended);
    bool inData(Cursor& at);
    void tagOpen(Cursor& at);
    void commentOpen(Cursor& at);
    bool inComment(Cursor& at);
    void commentClose(Cursor& at);
    bool inTagName(Cursor& at);
    bool beforeName(Cursor& at);
    bool inName(Cursor& at);
    bool beforeValue(Cursor& at);
    bool inValue(Cursor& at);
    void afterValue(Cursor& at);
    int rawEnd(Cursor& at);
    void leaveRaw(Cursor& at);

    // wholetags.cpp: tags that have come whole, read at once.
    qsizetype wholeTags(char* text, qsizetype base, qsizetype lt, qsizetype end);
    qsizetype wholeTag(char* text, qsizetype base, qsizetype lt, qsizetype end, bool& handOver);
    qsizetype wholeAttribute(char* text, qsizetype base, qsizetype name, qsizetype end,
                             qsizetype tag, qsizetype tagLength);

    // tagnames.cpp: tag and attribute names.
    int rawEndAt(const char* text, qsizetype at, qsizetype end, bool ended) const;
    void tagEnds();
    void tagByte(char c);
    void startName(qsizetype at);
    void nameByte(char* text, qsizetype base, qsizetype at);
    void endName(char* text, qsizetype base, qsizetype at);

    // tagvalue.cpp: a value read as a URL's start.
    void startValue(qsizetype at, char quote);
    void valueBytes(char* text, qsizetype base, qsizetype from, qsizetype to);
    void endValue(char* text, qsizetype base, qsizetype at);
    void judge(const char* text, qsizetype base, qsizetype to, bool complete);
    void take(unsigned char c);
    void takeScheme(unsigned char c);
    void takeType(unsigned char c);
    void takeSubtype(unsigned char c);
    void settle();

    qsizetype m_at = 0; // the next position to read
    State m_state = State::Data;
    int m_raw = -1; // the element whose content is text, while inside one

    // The answer's head: where its end is looked for next, and the line breaks just seen.
    bool m_headDone = false;
    qsizetype m_headAt = 0;
    int m_headBreak = 0; // 1 after LF, 2 after LF CR

    bool m_endTag = false;
    int m_tagLength = 0; // counts to NameBytes + 1 at most
    char m_tag[NameBytes] = {};

    qsizetype m_nameStart = 0;
    int m_nameLength = 0;
    char m_name[NameBytes] = {};
    Verdict m_nameVerdict = Verdict::Keep;
    bool m_urlName = false; // a value of this name may be fetched or navigated to
    bool m_imgSrc = false;

    char m_quote = 0; // 0: unquoted
    qsizetype m_valueStart = 0;
    qsizetype m_decodeAt = 0; // the first value byte not yet decoded
    Verdict m_valueVerdict = Verdict::Keep;
    bool m_leading = true; // blanks and controls before the scheme are still skipped
    Url m_url = Url::Scheme;
    int m_matched = 0;         // characters of the scheme matched so far
    unsigned char m_schemes = 0; // schemes still possible
    int m_partLength = 0;      // the media type's type, then subtype, so far
    char m_part[8] = {};
    int m_type = 0; // which harmless type
    bool m_plus = false;
};

} // namespace Tarnwick
