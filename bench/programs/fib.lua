-- Naive recursive Fibonacci of N, as bench/programs/fib.tasm.in does.
function fib(n)
    if n < 2 then
        return n
    end
    return fib(n - 1) + fib(n - 2)
end

print(fib(tonumber(arg[1])))
