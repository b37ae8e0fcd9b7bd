#include "engine/ConfScanner.h"

#include <algorithm>

namespace {

// Apache's blanks: those of isspace in the C locale.
bool isBlank(char ch) {
    return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\v' || ch == '\f' || ch == '\n';
}

} // namespace

void CConfScanner::feed(std::string_view piece) {
    std::size_t i = 0;
    while (i < piece.size()) {
        // The rest of a line no one wants goes by without a look, but for its end, where a
        // backslash and a CR may join it to the next.
        if (m_eState == EState::Skip && m_nHeld == 0) {
            const std::size_t nBreak = piece.find('\n', i);
            const std::size_t nTo = nBreak == std::string_view::npos ? piece.size() : nBreak;
            i = std::max(i, nTo >= 2 ? nTo - 2 : 0);
        }
        const char ch = piece[i++];
        if (m_nHeld > 0) {
            if (ch == '\n') {
                m_nHeld = 0;
                ++m_nLine;
                continue;
            }
            if (ch == '\r' && m_nHeld == 1) {
                m_nHeld = 2;
                continue;
            }
            release();
        }
        if (ch == '\\') {
            m_nHeld = 1;
        } else if (ch == '\n') {
            endLine();
            ++m_nLine;
        } else {
            take(ch);
        }
    }
}

void CConfScanner::finish() {
    release();
    endLine();
}

void CConfScanner::release() {
    const int nHeld = m_nHeld;
    m_nHeld = 0;
    if (nHeld >= 1)
        take('\\');
    if (nHeld == 2)
        take('\r');
}

void CConfScanner::take(char ch) {
    const auto append = [this](char c) {
        if (m_strWord.size() < kMaxWord)
            m_strWord.push_back(c);
        else
            m_bWordCut = true;
    };
    switch (m_eState) {
    case EState::LineStart:
    case EState::Between:
        if (isBlank(ch))
            return;
        if (m_eState == EState::LineStart) {
            if (ch == '#') {
                m_eState = EState::Skip;
                return;
            }
            m_nWordLine = m_nLine;
        }
        if (ch == '"' || ch == '\'') {
            m_chQuote = ch;
            m_eState = EState::Quoted;
            return;
        }
        m_eState = EState::Bare;
        take(ch);
        return;
    case EState::Bare:
        if (isBlank(ch))
            endWord();
        else if (ch == '\\')
            m_eState = EState::BareEscape;
        else
            append(ch);
        return;
    case EState::BareEscape:
        append('\\');
        m_eState = EState::Bare;
        if (ch != '\\')
            take(ch);
        return;
    case EState::Quoted:
        if (ch == m_chQuote)
            endWord();
        else if (ch == '\\')
            m_eState = EState::QuotedEscape;
        else
            append(ch);
        return;
    case EState::QuotedEscape:
        m_eState = EState::Quoted;
        if (ch == m_chQuote || ch == '\\') {
            append(ch);
        } else {
            append('\\');
            take(ch);
        }
        return;
    case EState::Skip:
        return;
    }
}

void CConfScanner::endWord() {
    const bool bCut = m_bWordCut;
    m_bWordCut = false;
    if (!m_bInDirective) {
        m_bInDirective = true;
        m_bDirectiveNamed = !bCut;
        m_eState = !bCut && m_sink.onDirective(m_strWord, m_nWordLine) ? EState::Between : EState::Skip;
    } else {
        if (!bCut)
            m_sink.onWord(m_strWord);
        m_eState = EState::Between;
    }
    m_strWord.clear();
}

void CConfScanner::endLine() {
    // A backslash that ends the text stays in its word.
    if (m_eState == EState::BareEscape || m_eState == EState::QuotedEscape) {
        if (m_strWord.size() < kMaxWord)
            m_strWord.push_back('\\');
        m_eState = m_eState == EState::BareEscape ? EState::Bare : EState::Quoted;
    }
    if (m_eState == EState::Bare || m_eState == EState::Quoted)
        endWord();
    if (m_bDirectiveNamed)
        m_sink.onDirectiveEnd(m_nLine);
    m_eState = EState::LineStart;
    m_bInDirective = false;
    m_bDirectiveNamed = false;
    m_strWord.clear();
    m_bWordCut = false;
}
