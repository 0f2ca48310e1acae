-- Counts the words of the text in the file named by the second argument (bench/run writes it,
-- N words), as bench/programs/wordcount.tasm.in does: the text is read whole, then walked one
-- character at a time with the string's sub method; a space or a line feed ends a word, which is
-- cut out and counted in a table (a missing entry is nil, so one lookup serves as contains and
-- get). The loop runs inside a function on local variables, the way Lua is written for speed.
-- Prints the number of distinct words, the number of words and the highest count.
local function main(path)
    local file = assert(io.open(path, "r"))
    local text = file:read("a")
    file:close()
    local counts = {}
    local distinct = 0
    local words = 0
    local start = 1
    for i = 1, #text do
        local c = text:sub(i, i)
        if c == " " or c == "\n" then
            if i > start then
                local word = text:sub(start, i - 1)
                words = words + 1
                local count = counts[word]
                if count then
                    counts[word] = count + 1
                else
                    counts[word] = 1
                    distinct = distinct + 1
                end
            end
            start = i + 1
        end
    end
    local best = 0
    for _, count in pairs(counts) do
        if count > best then
            best = count
        end
    end
    return distinct .. " " .. words .. " " .. best
end

print(main(arg[2]))
