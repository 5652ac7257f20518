// Names with wildcards: which files of a folder match the watched name now,
// and which of them trail has not had yet.
//
// Many logs never rotate at a fixed name: each day (or size) starts a new
// file under a new name, u_ex261209.log, log20261209.txt. Given
// 'logs/u_ex*.log', trail follows the newest match, and takes each file
// that comes to match later (created, or renamed into the folder) as the
// next generation, exactly as a file that replaced a plain name
// (which_file.cpp): kept open from the first look that sees it, shown from
// its first byte once the open one has been read to its end and stayed
// quiet. A file that matched at the start, or that trail has had, is never
// shown again from its start, however it is written later. Which file is
// which is told by its identity, not its name or its time.
//
// Looking costs one look at the folder each time: its entries are read
// again only when it has changed.
#include <algorithm>
#include <cstring>

#include "follower/follower.h"

namespace {

const std::int64_t settle_ns = 1000000000;

bool identity_before(const file_identity& a, const file_identity& b) {
    return a.volume != b.volume ? a.volume < b.volume : a.index < b.index;
}

struct match {
    file_identity identity;
    std::int64_t modified_ns;
    std::string name;
};

// Modified earlier first; on a tie, the name first in byte order.
bool older(const match& a, const match& b) {
    return a.modified_ns != b.modified_ns ? a.modified_ns < b.modified_ns : a.name < b.name;
}

bool known(const pattern_watch& pattern, const file_identity& identity) {
    return std::binary_search(pattern.known.begin(), pattern.known.end(), identity, identity_before);
}

const char* after_character(const char* text) {
    ++text;
    while ((static_cast<unsigned char>(*text) & 0xC0) == 0x80) ++text;
    return text;
}

bool same_character(char a, char b, bool ignore_case) {
    if (ignore_case) {
        if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
    }
    return a == b;
}

// Whether the folder may hold a file it did not hold at the last read.
bool folder_may_have_changed(pattern_watch& pattern) {
    entry_facts folder;
    if (!look_at_entry((pattern.folder + ".").c_str(), folder)) return false;
    bool changed = !pattern.folder_seen || folder.modified_ns != pattern.folder_modified_ns;
    pattern.folder_seen = true;
    pattern.folder_modified_ns = folder.modified_ns;
    bool recent = time_of_day_ns() - folder.modified_ns < settle_ns;
    bool again = pattern.read_again;
    pattern.read_again = false;
    return changed || recent || again;
}

// Every regular file in the folder that matches now, the oldest first.
std::vector<match> matches_now(const pattern_watch& pattern) {
    std::vector<match> found;
    folder_ref folder = open_folder(pattern.folder.c_str());
    if (folder == no_handle) return found;
    bool ignore_case = names_ignore_case();
    while (const char* name = next_folder_entry(folder)) {
        if (!wildcard_match(pattern.pattern.c_str(), name, ignore_case)) continue;
        entry_facts facts;
        if (!look_at_entry((pattern.folder + name).c_str(), facts) || !facts.regular) continue;
        found.push_back(match{facts.identity, facts.modified_ns, name});
    }
    close_folder(folder);
    std::sort(found.begin(), found.end(), older);
    return found;
}

// Opens the match, if it is still the file that was looked at.
file_ref open_match(const pattern_watch& pattern, const match& chosen, file_facts& facts) {
    file_ref file = open_for_reading((pattern.folder + chosen.name).c_str(), &facts);
    if (file == no_handle) return no_handle;
    if (same_file(facts.identity, chosen.identity)) return file;
    close_file(file);
    return no_handle;
}

// What is known from now on: the matches that were known already or have
// been taken, and the files trail holds. A file that has gone drops out, so
// the next file to get its number is new.
void remember(followed_file& file, std::vector<file_identity> identities) {
    const name_watch& name = file.name_seen;
    if (file.watched_file != no_handle) identities.push_back(name.open_identity);
    for (const later_file& later : name.later) identities.push_back(later.identity);
    std::sort(identities.begin(), identities.end(), identity_before);
    identities.erase(std::unique(identities.begin(), identities.end(), same_file), identities.end());
    file.pattern.known.swap(identities);
}

}  // namespace

const char* last_part(const char* name) {
    const char* separators = folder_separators();
    const char* last = name;
    for (const char* at = name; *at; ++at) {
        if (std::strchr(separators, *at)) last = at + 1;
    }
    return last;
}

bool has_wildcard(const char* name) {
    return std::strpbrk(last_part(name), "*?") != nullptr;
}

bool wildcard_match(const char* pattern, const char* name, bool ignore_case) {
    const char* star = nullptr;  // the last * seen, and where its run ends now
    const char* resume = nullptr;
    while (*name) {
        if (*pattern == '*') {
            star = pattern++;
            resume = name;
        } else if (*pattern == '?') {
            ++pattern;
            name = after_character(name);
        } else if (*pattern && same_character(*pattern, *name, ignore_case)) {
            ++pattern;
            ++name;
        } else if (star) {
            // The * takes one more character, and the rest is tried again.
            pattern = star + 1;
            resume = after_character(resume);
            name = resume;
        } else {
            return false;
        }
    }
    while (*pattern == '*') ++pattern;
    return *pattern == 0;
}

void decide_pattern(followed_file& file) {
    const char* name = file.given;
    entry_facts facts;
    // On POSIX * and ? may be part of a name: one that stands there is meant.
    if (!has_wildcard(name) || look_at_entry(name, facts)) return;
    const char* last = last_part(name);
    file.pattern.active = true;
    file.pattern.folder.assign(name, last);
    file.pattern.pattern = last;
}

file_ref open_next_match(followed_file& file, std::string& name, file_facts& facts) {
    pattern_watch& pattern = file.pattern;
    if (!folder_may_have_changed(pattern)) return no_handle;
    std::vector<match> found = matches_now(pattern);
    // At the start the newest match is followed and the others are known;
    // later the oldest new one, and those after it come in their turn.
    std::vector<file_identity> identities;
    const match* chosen = nullptr;
    for (const match& candidate : found) {
        bool is_new = !known(pattern, candidate.identity);
        if (!is_new || !pattern.opened_any) identities.push_back(candidate.identity);
        if (is_new && (!pattern.opened_any || !chosen)) chosen = &candidate;
    }
    if (!chosen) {
        remember(file, identities);
        return no_handle;
    }
    file_ref opened = open_match(pattern, *chosen, facts);
    if (opened == no_handle) {
        pattern.read_again = true;
        return no_handle;
    }
    identities.push_back(chosen->identity);
    remember(file, identities);
    pattern.opened_any = true;
    pattern.read_again = true;  // more may be on their way
    name = pattern.folder + chosen->name;
    return opened;
}

void look_at_pattern(followed_file& file) {
    pattern_watch& pattern = file.pattern;
    if (!folder_may_have_changed(pattern)) return;
    std::vector<match> found = matches_now(pattern);
    std::int64_t now = clock_ms();
    std::vector<file_identity> identities;
    for (const match& candidate : found) {
        if (known(pattern, candidate.identity) || holds_file(file, candidate.identity)) {
            identities.push_back(candidate.identity);
            continue;
        }
        // Come to match since the last read: kept from now on, read in its
        // turn. One that cannot be kept yet is looked for again next time.
        file_facts facts;
        file_ref opened = open_match(pattern, candidate, facts);
        if (opened != no_handle && keep_for_later(file, opened, facts, now, pattern.folder + candidate.name)) {
            identities.push_back(candidate.identity);
        } else {
            if (opened != no_handle) close_file(opened);
            pattern.read_again = true;
        }
    }
    remember(file, identities);
}
