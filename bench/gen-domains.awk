# gen-domains.awk - deterministic generator of a realistic domain list.
#
#   awk -v n=1000000 -v seed=20240601 -f gen-domains.awk > list.txt
#
# Writes exactly n LF-terminated lines. Most lines are plain domain names
# (dictionary words, brand-like syllable blends, digits and hyphens, a mix of
# generic and country TLDs, about one in ten with a leading "www."), and a
# small share are the kind of noise real lists carry: CRLF endings, stray
# blanks and tabs, empty lines and dot-less tokens.
#
# The random numbers come from a Park-Miller generator written out here
# rather than awk's rand(), so mawk, gawk and busybox awk all produce the
# same file for the same seed. Every intermediate value stays below 2^53,
# so the arithmetic is exact in awk's doubles.

function rnd(k) {
    state = (state * 48271) % 2147483647
    return int(state / 2147483647 * k)
}

function pick(arr, cnt) { return arr[rnd(cnt) + 1] }

function digits(    len, s, i) {
    len = 2 + rnd(3)
    s = ""
    for (i = 0; i < len; i++) s = s rnd(10)
    return s
}

function brand(    s, i, cnt) {
    cnt = 3 + rnd(3)
    s = ""
    for (i = 0; i < cnt; i++) s = s pick(syl, nsyl)
    return s
}

function label(    r) {
    r = rnd(100)
    if (r < 2)  return pick(word, nword)
    if (r < 24) return pick(word, nword) pick(word, nword)
    if (r < 28) return pick(word, nword) brand()
    if (r < 34) return pick(word, nword) pick(word, nword) pick(word, nword)
    if (r < 42) return pick(word, nword) pick(word, nword) digits()
    if (r < 56) return pick(word, nword) "-" pick(word, nword)
    if (r < 70) return brand()
    if (r < 78) return brand() digits()
    if (r < 88) return pick(word, nword) digits()
    if (r < 94) return pick(word, nword) "-" pick(word, nword) "-" pick(word, nword)
    if (r < 97) return digits() pick(word, nword)
    return pick(word, nword) "-" digits()
}

function tld(    r) {
    r = rnd(1000)
    if (r < 440) return "com"
    if (r < 540) return "net"
    if (r < 620) return "org"
    if (r < 720) return "cn"
    if (r < 790) return "com.cn"
    if (r < 840) return "io"
    if (r < 910) return "de"
    if (r < 940) return "co.uk"
    if (r < 960) return "info"
    if (r < 980) return "ru"
    if (r < 990) return "net.cn"
    return "app"
}

BEGIN {
    if (n == "") n = 1000000
    if (seed == "") seed = 20240601
    state = (seed % 2147483646) + 1

    nword = split("shop store market cloud data host web net online digital " \
        "smart tech soft media news blog home house garden travel tour hotel " \
        "food fresh coffee tea wine beer pizza sushi green blue red black white " \
        "gold silver star sun moon sky sea lake river stone rock wood forest " \
        "city metro urban local global world east west north south best top " \
        "prime max pro plus easy fast quick bright clear happy lucky magic " \
        "alpha beta delta omega nova apex core hub lab labs works studio " \
        "design art photo video music sound game games play sport fit wellness " \
        "care med dental clinic pet pets kids baby school edu learn book books " \
        "car cars auto motor bike parts tool tools build homes law legal tax " \
        "bank pay money fund invest trade china asia euro berlin london paris " \
        "tokyo beijing shanghai mail link code dev app apps bit byte pixel " \
        "zone point line wave flow spark fire ice snow rain wind leaf tree " \
        "flower rose lotus dragon tiger eagle wolf fox bear lion panda " \
        "network systems services solutions consulting marketing finance " \
        "property realty estate voyage express capital partners academy " \
        "restaurant kitchen fashion beauty jewelry furniture machinery " \
        "electric energy solar logistics shipping print supply trading " \
        "ocean harbor island valley canyon desert prairie meadow summit peak " \
        "orange lemon cherry apple mango berry honey sugar spice pepper " \
        "silk cotton paper glass steel iron copper crystal diamond pearl " \
        "rocket orbit planet comet galaxy cosmic quantum vector matrix logic " \
        "signal radio voice echo vision focus insight idea mind brain " \
        "family friend people team union club society center central royal " \
        "smile dream hope joy grace noble pure true real simple " \
        "daily weekly today future modern classic vintage retro rustic rural " \
        "farm ranch village castle tower bridge harbour port gate door " \
        "yoga dance theater cinema comic anime novel poem story history", word, " ")

    nsyl = split("ka ze lo mi ra no vi ta su ne ko ri xa qi bo lu fa de " \
        "tri ven tor lex mar zen vox nex kor lin pan tek sol dyn gen fin " \
        "hua xin tong da li wei jia yun hai feng long ming", syl, " ")

    nsub = split("shop blog mail m api news en cn bbs", sub_, " ")

    for (i = 0; i < n; i++) {
        r = rnd(10000)
        if (r < 10)  { print ""; continue }                         # empty line
        if (r < 20)  { print pick(word, nword); continue }          # no dot
        d = label() "." tld()
        r = rnd(100)
        if (r < 10)      d = "www." d
        else if (r < 13) d = pick(sub_, nsub) "." d
        r = rnd(1000)
        if (r < 5)       d = d "\r"                                 # CRLF list
        else if (r < 7)  d = "  " d
        else if (r < 9)  d = d " \t"
        print d
    }
}
