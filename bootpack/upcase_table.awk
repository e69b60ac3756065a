# Writes the initializer rows of the upcase table from UnicodeData.txt: one "{lower, upper},"
# per BMP code point whose simple uppercase mapping (field 13) is another BMP code point, in
# code point order. Windows compares file names by such a table of UTF-16 code units, so
# mappings into or out of the supplementary planes are left out: a surrogate pair compares as
# it is. Windows' table also keeps only the mappings that come back: a letter is mapped to its
# capital only when that capital's simple lowercase mapping (field 14) is the letter again, so
# dotless i, long s, final sigma, the Greek symbol forms and title-case digraphs stay as they are.
BEGIN { FS = ";" }
length($1) == 4 && length($13) == 4 {
  order[++count] = $1
  upper[$1] = $13
}
{ lower[$1] = $14 }
END {
  for (i = 1; i <= count; ++i) {
    code = order[i]
    if (lower[upper[code]] == code) printf "{0x%s, 0x%s},\n", code, upper[code]
  }
}
