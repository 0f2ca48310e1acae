# Counts the words of the text in the file named by the second argument (bench/run writes it,
# N words), as bench/programs/wordcount.tasm.in does: the text is read whole, then walked one
# character at a time by index; a space or a line feed ends a word, which is sliced out and
# counted in a dict. The loop runs inside a function on local variables, the way Python is written
# for speed. Prints the number of distinct words, the number of words and the highest count.
import sys


def main(path):
    with open(path) as f:
        text = f.read()
    counts = {}
    words = 0
    start = 0
    for i in range(len(text)):
        c = text[i]
        if c == " " or c == "\n":
            if i > start:
                word = text[start:i]
                words += 1
                if word in counts:
                    counts[word] += 1
                else:
                    counts[word] = 1
            start = i + 1
    best = 0
    for count in counts.values():
        if count > best:
            best = count
    return f"{len(counts)} {words} {best}"


print(main(sys.argv[2]))
