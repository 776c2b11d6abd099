#include "proxy/tagrule.h"

#include "proxy/tagruleinternal.h"

namespace Tarnwick {

using namespace TagRuleInternal;

int TagRuleInternal::rawText(const char* name, qsizetype length) {
    int k = -1;
    switch (length) {
    case 3:
        k = 4;
        break;
    case 5:
        k = fold(name[0]) == 's' ? 1 : 3;
        break;
    case 6:
        k = fold(name[0]) == 's' ? 0 : 5;
        break;
    case 7:
        k = 6;
        break;
    case 8:
        k = fold(name[0]) == 't' ? 2 : fold(name[3]) == 'f' ? 7 : 8;
        break;
    case 9:
        k = 9;
        break;
    default:
        return -1;
    }
    return sameWord(name, RawText[k]) ? k : -1;
}

bool TagRuleInternal::urlName(const char* name, qsizetype length) {
    switch (length) {
    case 3:
        return sameWord(name, "src");
    case 4:
        return sameWord(name, "href") || sameWord(name, "data");
    case 6:
        return sameWord(name, "action");
    case 10:
        return sameWord(name, "formaction") || sameWord(name, "xlink:href");
    default:
        return false;
    }
}

// 1 when the element whose content is text ends at text[at] == '<', 0 when not, -1 when
// the bytes before `end` cannot tell yet.
int TagRule::rawEndAt(const char* text, qsizetype at, qsizetype end, bool ended) const {
    const std::string_view name = RawText[m_raw];
    const qsizetype length = qsizetype(name.size()) + 3; // "</", the name, what ends it
    for (qsizetype k = 1; k < length; ++k) {
        if (at + k >= end)
            return ended ? 0 : -1;
        const char c = text[at + k];
        const bool fits = k == 1 ? c == '/'
                          : k < length - 1 ? fold(c) == static_cast<unsigned char>(name[size_t(k - 2)])
                                           : (kind(c) & (Blank | Slash | Gt)) != 0;
        if (!fits)
            return 0;
    }
    return 1;
}

void TagRule::tagEnds() {
    m_state = State::Data;
    if (!m_endTag && m_raw < 0)
        m_raw = rawText(m_tag, m_tagLength);
}

void TagRule::tagByte(char c) {
    if (m_tagLength < NameBytes)
        m_tag[m_tagLength] = char(fold(c));
    if (m_tagLength <= NameBytes)
        ++m_tagLength;
}

void TagRule::startName(qsizetype at) {
    m_nameStart = at;
    m_nameLength = 0;
    m_nameVerdict = Verdict::Open;
}

// One more byte of an attribute name, at text[at].
void TagRule::nameByte(char* text, qsizetype base, qsizetype at) {
    const unsigned char c = fold(text[at]);
    if (m_nameLength < NameBytes)
        m_name[m_nameLength] = char(c);
    if (m_nameLength <= NameBytes)
        ++m_nameLength;
    if (m_nameVerdict == Verdict::Overwrite) {
        text[at] = 'Z';
        return;
    }
    if (m_nameVerdict == Verdict::Keep)
        return;
    const bool mayBeOnly = m_nameLength <= 4 && std::memcmp(m_name, "only", size_t(m_nameLength)) == 0;
    const bool mayBeSrcdoc = m_nameLength <= 6 && std::memcmp(m_name, "srcdoc", size_t(m_nameLength)) == 0;
    if (m_nameLength > 2 && m_name[0] == 'o' && m_name[1] == 'n' && !mayBeOnly) {
        m_nameVerdict = Verdict::Overwrite;
        const qsizetype from = m_nameStart - base;
        std::memset(text + from, 'Z', size_t(at + 1 - from));
    } else if (!mayBeOnly && !mayBeSrcdoc) {
        m_nameVerdict = Verdict::Keep;
    }
}

// The attribute name ends before text[at].
void TagRule::endName(char* text, qsizetype base, qsizetype at) {
    if (m_nameVerdict == Verdict::Open) {
        const bool handler = m_nameLength > 2 && m_name[0] == 'o' && m_name[1] == 'n'
                             && !is(m_name, m_nameLength, "only");
        if (handler || is(m_name, m_nameLength, "srcdoc")) {
            const qsizetype from = m_nameStart - base;
            std::memset(text + from, 'Z', size_t(at - from));
        }
        m_nameVerdict = Verdict::Keep;
    }
    m_urlName = urlName(m_name, m_nameLength);
    m_imgSrc = is(m_tag, m_tagLength, "img") && is(m_name, m_nameLength, "src");
}

} // namespace Tarnwick
