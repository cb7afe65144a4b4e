#!/usr/bin/env bash
# Checks a driver package folder before a setup bundles it, so that a broken
# package is refused here rather than on a customer's machine, where Windows
# asks for the missing disk (and nobody answers in session 0) and Wine's
# setupapi retries the copy for ever.
#
# usage: kit/check-package.sh [--arch amd64|x86]... FOLDER
#        kit/check-package.sh --hardware-ids FOLDER
#
# The folder must hold exactly one INF at its top. For each architecture
# (default: amd64 and x86), every file that [SourceDisksFiles] or
# [SourceDisksFiles.<arch>] lists must be where the INF puts it: its disk's
# path ([SourceDisksNames] or [SourceDisksNames.<arch>], fourth field)
# joined with the file's own subdirectory (second field); and the catalog
# that CatalogFile.NT<arch>, CatalogFile.NT or CatalogFile names must be
# beside the INF. A decorated entry wins over an undecorated one, as
# setupapi looks them up. File names compare case-insensitively, as on
# Windows (ASCII letters only). An INF with no catalog is unsigned: a
# warning, not a refusal.
#
# Exit 0 when the package is fine (warnings on stderr); 1 with one line on
# stderr naming the file when not; 2 for a wrong command line.
# --hardware-ids prints the IDs the INF's models list, one a line.
#
# Only bash and awk: the kit runs where only wixl is installed.
set -euo pipefail

usage() {
    sed -n '8,9s/^# //p' "$0"
}
fail() {
    echo "check-package.sh: $*" >&2
    exit 1
}

arches=()
mode=check
folder=
while [ $# -gt 0 ]; do
    case "$1" in
        --arch)
            [ $# -ge 2 ] || { echo "check-package.sh: --arch needs a value: amd64 or x86" >&2; exit 2; }
            case "$2" in
                amd64|x86) arches+=("$2") ;;
                *) echo "check-package.sh: --arch $2: use amd64 or x86" >&2; exit 2 ;;
            esac
            shift 2 ;;
        --hardware-ids) mode=ids; shift ;;
        -h|--help) usage; exit 0 ;;
        -*) echo "check-package.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
        *)
            [ -z "$folder" ] || { echo "check-package.sh: one folder only" >&2; exit 2; }
            folder=$1; shift ;;
    esac
done
[ -n "$folder" ] || { usage >&2; exit 2; }
[ ${#arches[@]} -gt 0 ] || arches=(amd64 x86)
[ -d "$folder" ] || fail "no package folder $folder"

mapfile -t infs < <(find "$folder" -mindepth 1 -maxdepth 1 -type f -iname '*.inf' \
    -printf '%f\n' | LC_ALL=C sort)
[ ${#infs[@]} -gt 0 ] || fail "$folder holds no INF file"
[ ${#infs[@]} -eq 1 ] ||
    fail "$folder holds ${#infs[@]} INF files (${infs[*]}), not exactly one"
inf=$folder/${infs[0]}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# UTF-16LE INFs (BOM FF FE) become UTF-8; a UTF-8 BOM and CRs go.
if [ "$(head -c 2 "$inf" | od -An -tx1 | tr -d ' ')" = fffe ]; then
    iconv -f UTF-16 -t UTF-8 "$inf" > "$work/inf" 2> /dev/null ||
        fail "$inf: not valid UTF-16 text"
else
    cp "$inf" "$work/inf"
fi
sed -i '1s/^\xEF\xBB\xBF//; s/\r$//' "$work/inf"
(cd "$folder" && find . -type f -printf '%P\n') > "$work/files"

# The INF's grammar: [section] and key names case-insensitive, ";" starts a
# comment outside quotes, "\" at a line's end continues it, values are
# comma-separated fields, quoted or not, with %strkey% tokens from
# [Strings] (or a localized [Strings.<lang>]).
LC_ALL=C awk -v mode="$mode" -v arches="${arches[*]}" -v inf="${infs[0]}" -v folder="$folder" '
function trim(s) { sub(/^[ \t]+/, "", s); sub(/[ \t]+$/, "", s); return s }
function decomment(s,   i, c, quoted) {
    for (i = 1; i <= length(s); i++) {
        c = substr(s, i, 1)
        if (c == "\"") quoted = !quoted
        else if (c == ";" && !quoted) return substr(s, 1, i - 1)
    }
    return s
}
# Splits a value at commas outside quotes into f[1..n]: unquoted, with
# string tokens replaced.
function fields(v, f,   n, i, c, quoted, cur) {
    split("", f); n = 0; cur = ""
    for (i = 1; i <= length(v); i++) {
        c = substr(v, i, 1)
        if (c == "\"") {
            if (quoted && substr(v, i + 1, 1) == "\"") { cur = cur c; i++ }
            else quoted = !quoted
        } else if (c == "," && !quoted) { f[++n] = expand(trim(cur)); cur = "" }
        else cur = cur c
    }
    f[++n] = expand(trim(cur))
    return n
}
function expand(s,   out, key, j) {
    out = ""
    while ((j = index(s, "%")) > 0) {
        out = out substr(s, 1, j - 1); s = substr(s, j + 1)
        if ((j = index(s, "%")) == 0) { out = out "%"; break }
        key = tolower(substr(s, 1, j - 1))
        if (key == "") out = out "%"
        else if (key in strings) out = out strings[key]
        else out = out "%" substr(s, 1, j)
        s = substr(s, j + 1)
    }
    return out s
}
function add_line(line,   eq, n) {
    line = trim(line)
    if (line == "") return
    if (line ~ /^\[.*\]$/) {
        section = tolower(trim(substr(line, 2, length(line) - 2)))
        return
    }
    if (section == "") return
    n = ++count[section]
    eq = index(line, "=")
    if (eq > 0) { keys[section, n] = trim(substr(line, 1, eq - 1)); vals[section, n] = trim(substr(line, eq + 1)) }
    else { keys[section, n] = ""; vals[section, n] = line }
}
function unquote(s) { if (s ~ /^".*"$/) s = substr(s, 2, length(s) - 2); return s }
# The key of line n of a section, as a file or disk name.
function key_of(sec, n,   f) { fields(keys[sec, n], f); return f[1] }
# The value of key k in a section ("" and found = 0 when absent).
function lookup(sec, k, f,   n) {
    for (n = 1; n <= count[sec]; n++)
        if (tolower(key_of(sec, n)) == k) return fields(vals[sec, n], f)
    return 0
}
# A path inside the package: "\" or "/" separated, relative to the INF.
function place(path,   parts, n, i, out, depth, stack) {
    gsub(/\\/, "/", path)
    n = split(path, parts, "/"); depth = 0
    for (i = 1; i <= n; i++) {
        if (parts[i] == "" || parts[i] == ".") continue
        if (parts[i] == "..") { if (depth == 0) return ""; depth--; continue }
        stack[++depth] = parts[i]
    }
    out = ""
    for (i = 1; i <= depth; i++) out = out (i > 1 ? "/" : "") stack[i]
    return out
}
function missing(path, what) {
    printf "check-package.sh: %s/%s is missing: %s names it\n", folder, path, what > "/dev/stderr"
    exit 1
}
function refuse(msg) {
    printf "check-package.sh: %s\n", msg > "/dev/stderr"
    exit 1
}
FNR == 1 { file_index++ }
file_index == 1 { present[tolower($0)] = 1; next }
{
    line = decomment($0)
    if (line ~ /\\[ \t]*$/) { sub(/\\[ \t]*$/, "", line); pending = pending line; next }
    line = pending line; pending = ""
    raw[++lines] = line
}
END {
    # Strings first, as tokens may be used before [Strings] comes; a
    # localized [Strings.<lang>] fills in what [Strings] lacks.
    for (i = 1; i <= lines; i++) {
        line = trim(raw[i])
        if (line ~ /^\[.*\]$/) { section = tolower(trim(substr(line, 2, length(line) - 2))); continue }
        if (section !~ /^strings(\.|$)/ || (eq = index(line, "=")) == 0) continue
        k = tolower(unquote(trim(substr(line, 1, eq - 1))))
        if (section == "strings" || !(k in strings)) { fields(trim(substr(line, eq + 1)), f); strings[k] = f[1] }
    }
    section = ""
    for (i = 1; i <= lines; i++) add_line(raw[i])

    if (mode == "ids") {
        for (n = 1; n <= count["manufacturer"]; n++) {
            m = fields(vals["manufacturer", n], f)
            models[tolower(f[1])] = 1
            for (j = 2; j <= m; j++) if (f[j] != "") models[tolower(f[1] "." f[j])] = 1
        }
        ids = 0
        for (sec in models) for (n = 1; n <= count[sec]; n++) {
            m = fields(vals[sec, n], f)
            for (j = 2; j <= m; j++) if (f[j] != "" && !(toupper(f[j]) in seen)) {
                seen[toupper(f[j])] = 1; id[++ids] = f[j]
            }
        }
        if (ids == 0) refuse(inf " lists no hardware ID in the models its [Manufacturer] names")
        for (j = 1; j <= ids; j++) print id[j]
        exit 0
    }

    na = split(arches, arch, " "); unsigned = ""
    for (a = 1; a <= na; a++) {
        A = arch[a]
        # The catalog: the most decorated key that is there.
        cat_key = ""
        split("CatalogFile.NT" A " CatalogFile.NT CatalogFile", cks, " ")
        for (c = 1; c <= 3 && cat_key == ""; c++) if (lookup("version", tolower(cks[c]), f)) cat_key = cks[c]
        if (cat_key == "") unsigned = unsigned (unsigned == "" ? "" : " and ") A
        else if (f[1] == "") refuse(inf ": " cat_key " names no file")
        else if (!(tolower(place(f[1])) in present))
            missing(f[1], inf "'"'"'s " cat_key)
        # Each file the INF copies: its decorated entry, else the undecorated.
        delete done
        split("sourcedisksfiles." A " sourcedisksfiles", fsecs, " ")
        for (s = 1; s <= 2; s++) for (n = 1; n <= count[fsecs[s]]; n++) {
            name = key_of(fsecs[s], n)
            if (name == "" || (tolower(name) in done)) continue
            done[tolower(name)] = 1
            fields(vals[fsecs[s], n], f); disk = f[1]; subdir = f[2]
            where = inf "'"'"'s [" (s == 1 ? "SourceDisksFiles." A : "SourceDisksFiles") "]"
            if (!lookup("sourcedisksnames." A, disk, d) && !lookup("sourcedisksnames", disk, d))
                refuse(where " puts " name " on disk " disk ", which no [SourceDisksNames] lists")
            # A disk whose tag names a cabinet holds its files in it.
            if (tolower(d[2]) ~ /\.cab$/) { path = place(d[4] "/" d[2]); name = d[2] }
            else path = place(d[4] "/" subdir "/" name)
            if (path == "") refuse(where " puts " name " outside the package")
            if (!(tolower(path) in present)) missing(path, where " for " A)
        }
    }
    if (unsigned == arches || unsigned == arch[1] " and " arch[2])
        printf "warning: %s names no CatalogFile: the package is unsigned\n", inf > "/dev/stderr"
    else if (unsigned != "")
        printf "warning: %s names no CatalogFile for %s: the package is unsigned there\n", inf, unsigned > "/dev/stderr"
}' "$work/files" "$work/inf"
