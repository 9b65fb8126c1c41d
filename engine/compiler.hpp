// Compiles expression trees into a program (program.hpp): a node's instruction names its operands, a
// built-in on constants alone is done here by the same apply(), to the same bits, and a long sum's terms are
// scheduled (schedule()). Throws std::bad_alloc only. Order: where a caller's callable could tell, the right
// operand goes first, as the language says, and each variable is loaded where the language meets it, so that
// a nested eval's values are seen and a missing variable fails after the callables before it ran. Elsewhere
// nothing can tell, and the left one goes first: a long sum needs two registers, not one a term, and a long
// text can be compiled a piece at a time, each appended to the code so far.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "arena.hpp"
#include "function_tables.hpp"
#include "language.hpp"
#include "instructions.hpp"
#include "nodes.hpp"
#include "program.hpp"

namespace exprkit::detail {

// Compiles trees into a program, one after another: each later one is appended to the code so far, a
// placeholder node of it standing for the value that code leaves.
template <typename T>
class Compiler {
public:
    const std::shared_ptr<Program<T>> made = std::make_shared<Program<T>>();

    Compiler() { operands.reserve(16); }  // the stack of most formulas, in one allocation

    // Compiles the tree under `root`. One that calls no caller's callable, all of whose nodes are in `arena`,
    // goes left operand first, in the order the nodes were made, `placeholder` (the first) standing for the
    // value of the code so far; any other right operand first, along its chain.
    void append(const AstNode<T>& root, const NodeArena<T>* arena = nullptr, const AstNode<T>* placeholder = {}) {
        const bool left_first = arena && !root.calls_callers_code();
        const auto compile = [&](const AstNode<T>& node) {
            if (&node != placeholder) emit(node, left_first);
            made->results = std::max(made->results, depth());
        };
        if (left_first) {
            arena->for_each(compile);
        } else {
            TreeWalk<T>::visit(root, compile);
        }
    }

    // The program, its variables read from `table`, whose entries `order` lists (see Program::bind).
    std::shared_ptr<Program<T>> finish(const std::shared_ptr<VariableTable<T>>& table, const std::vector<T*>& order) {
        Program<T>& program = *made;
        std::vector<Instruction<T>>& code = program.code;
        place(operands.back());
        schedule();
        const auto variables = static_cast<std::uint32_t>(program.variables.size());
        const auto register_at = [variables](std::uint32_t noted) {
            return noted & variable_bit ? noted & ~variable_bit : variables + noted;
        };
        // Each register's last writer, + 1, where a step may take a scaled term.
        std::vector<std::size_t> written(code.size() < long_program ? 0 : program.registers());
        for (std::size_t i = 0; i < code.size(); ++i) {
            Instruction<T>& in = code[i];
            if (in.opcode != opcode_of(Kind::Load)) in.a = register_at(in.a);  // a Load's is its variable's position
            in.b = register_at(in.b);
            in.result = register_at(in.result);
            // An operand that the instruction before has just made is read where that instruction left it,
            // and a sum's step, whatever its sign, is one opcode (see Kind::Sum).
            const OpcodeRow row = decode(in.opcode);
            if (i > 0 && row.kind == Kind::Apply) {
                const std::uint32_t before = code[i - 1].result;
                const Source left = row.left == Source::Reg && in.a == before ? Source::Acc : row.left;
                const bool just_made = row.right == Source::Reg && in.b == before && left != Source::Acc;
                const Source right = just_made ? Source::Acc : row.right;
                const bool sum = !emitted(row.operation, left, right);
                in.opcode = sum ? opcode_of(Kind::Sum) : opcode_of(row.operation, left, right);
            }
            if (in.opcode == opcode_of(Kind::Sum)) {
                in.constant = row.operation == Operation::Add ? T(-1) : T(1);
                take_scaled_term(in, code, written);
            }
            if (!written.empty()) written[in.result] = i + 1;
        }
        const auto dropped = [](const Instruction<T>& in) { return in.opcode == opcode_count; };
        if (!written.empty()) code.erase(std::remove_if(code.begin(), code.end(), dropped), code.end());
        program.result = register_at(operands.back().register_index);
        program.calls = !program.unary_callables.empty();
        program.bind(table, order);
        program.finish();
        return made;
    }

private:
    // An operand not yet taken by its operator: a register, or a constant without one, which the operator
    // may hold or fold. A variable's register is noted as its position with `variable_bit`, a result's as
    // its depth, until the number of variables is known.
    struct Operand { std::uint32_t register_index; bool constant; T value; };
    static constexpr std::uint32_t variable_bit = std::uint32_t{1} << 31;
    static constexpr std::size_t long_program = 64;  // instructions: a shorter one is left as it is

    std::vector<Operand> operands;  // the evaluation's stack: the operand at depth d is in result register d
    std::unordered_map<std::string, std::uint32_t> positions;  // of the variables, by name

    std::uint32_t depth() const { return static_cast<std::uint32_t>(operands.size()); }

    // Gives a constant operand its register, the one of its depth.
    void place(Operand& operand) {
        if (!operand.constant) return;
        Instruction<T> in{};
        in.opcode = opcode_of(Kind::Constant);
        in.constant = operand.value;
        in.result = static_cast<std::uint32_t>(&operand - operands.data());
        made->code.push_back(in);
        operand = Operand{in.result, false, T()};
    }

    // A variable's position: a handful of names are compared in turn, more are found by a map.
    std::uint32_t position_of(const std::string& name) {
        std::vector<Variable<T>>& known = made->variables;
        const auto count = static_cast<std::uint32_t>(known.size());
        if (count < 16) {
            for (std::uint32_t at = 0; at < count; ++at) {
                if (known[at].name == name) return at;
            }
        } else {
            for (std::uint32_t at = positions.empty() ? 0 : count; at < count; ++at) {
                positions.emplace(known[at].name, at);
            }
            const auto [found, added] = positions.try_emplace(name, count);
            if (!added) return found->second;
        }
        known.push_back(Variable<T>{name});
        return count;
    }

    // Appends the instruction of `node`, whose operands are on top of the stack, and leaves its value there.
    void emit(const AstNode<T>& node, bool left_first) {
        const auto kind = node.kind();
        if (kind == AstNode<T>::Kind::Value) {
            return operands.push_back({0, true, static_cast<const ValueNode<T>&>(node).value});
        }
        const bool variable = kind == AstNode<T>::Kind::Variable;
        const std::string* name = variable ? &static_cast<const VariableNode<T>&>(node).name : nullptr;
        if (name && left_first) return operands.push_back({position_of(*name) | variable_bit, false, T()});
        Instruction<T> in{};
        if (name) {
            in.opcode = opcode_of(Kind::Load);
            in.a = position_of(*name);
        } else if (kind == AstNode<T>::Kind::Unary) {
            const auto& unary = static_cast<const UnaryNode<T>&>(node);
            Operand& operand = operands.back();
            if (operand.constant && unary.builtin()) {
                operand.value = apply(*unary.builtin(), operand.value);
                return;
            }
            place(operand);
            in.a = operand.register_index;
            if (unary.builtin()) {
                in.opcode = opcode_of(*unary.builtin(), source_of(operand));
            } else {
                in.opcode = opcode_of(Kind::Call);
                in.callable = made->unary_callables.size();
                made->unary_callables.push_back(unary.fn);
            }
            operands.pop_back();
        } else {
            const auto& binary = static_cast<const BinaryNode<T>&>(node);
            Operand& top = operands.back();
            Operand& below = operands[operands.size() - 2];
            Operand& left = left_first ? below : top;  // right first, the left operand is the one made last
            Operand& right = left_first ? top : below;
            if (!binary.builtin()) throw std::logic_error("an operator not of the language");  // the builder's are
            const Operation operation = *binary.builtin();
            if (left.constant && right.constant) {
                below = Operand{0, true, apply(operation, left.value, right.value)};
                return operands.pop_back();
            }
            in.opcode = opcode_of(operation, source_of(left), source_of(right));
            in.constant = (right.constant ? right : left).value;
            in.a = left.register_index;
            in.b = right.register_index;
            operands.resize(operands.size() - 2);
        }
        in.result = depth();
        made->code.push_back(in);
        operands.push_back({in.result, false, T()});
    }

    static Source source_of(const Operand& operand) { return operand.constant ? Source::Const : Source::Reg; }

    // A step whose term is `k * y` or `y * k` (k not NaN) takes y times its own ±k instead, the same, as
    // `-k * y` is `-(k * y)`, while y is still in its register: the product's instruction goes.
    static void take_scaled_term(Instruction<T>& step, std::vector<Instruction<T>>& code,
                                 const std::vector<std::size_t>& written) {
        if (written.empty() || written[step.b] == 0) return;
        Instruction<T>& term = code[written[step.b] - 1];
        const OpcodeRow row = decode(term.opcode);
        const std::uint32_t y = row.left == Source::Const ? term.b : term.a;
        const bool scaled = row.kind == Kind::Apply && row.operation == Operation::Multiply &&
                            (row.left == Source::Const || row.right == Source::Const) && term.constant == term.constant;
        if (!scaled || written[y] > written[step.b]) return;
        step.constant *= term.constant, step.b = y, term.opcode = opcode_count;  // not an opcode: dropped below
    }

    // Long sums, 128 steps at a time. A step writes register 0, the sum so far, which nothing else reads or
    // writes; its term is the code since the step before, which reads only its own registers, variables and
    // constants. A window's terms get registers of their own and their instructions are merged like after
    // like, so that the processor predicts the jump to the next; the steps follow in their order. The same
    // operations on the same operands: the same bits. A program that loads or calls stays as it is.
    void schedule() {
        std::vector<Instruction<T>>& code = made->code;
        constexpr std::size_t window = 128;
        if (code.size() < long_program) return;  // the processor learns the jumps of a short program as it is
        const auto ordered = [](const Instruction<T>& in) { return decode(in.opcode).kind > Kind::Constant; };
        if (std::any_of(code.begin(), code.end(), ordered)) return;
        std::vector<Instruction<T>> terms, steps;  // a window's, the terms' one after another
        std::vector<std::size_t> ends;             // where each term's instructions end in `terms`
        std::uint32_t base = 1, top = 1;  // the first register of the term being read, and the window's end
        const auto own = [&](std::uint32_t& index) {
            if (index != 0 && !(index & variable_bit)) top = std::max(top, (index = index - 1 + base) + 1);
        };
        for (std::size_t i = 0, written = 0; i < code.size(); ++i) {
            Instruction<T> in = code[i];
            const OpcodeRow row = decode(in.opcode);
            if (row.kind == Kind::Apply && row.left == Source::Reg) own(in.a);
            if (row.kind == Kind::Apply && row.right == Source::Reg) own(in.b);
            if (in.result != 0) {
                own(in.result);
                terms.push_back(in);
                continue;
            }
            steps.push_back(in);
            ends.push_back(terms.size());
            base = top;
            if (steps.size() < window && i + 1 < code.size()) continue;
            made->results = std::max(made->results, top);
            written = merge(terms, ends, code, written);
            for (const Instruction<T>& step : steps) code[written++] = step;
            terms.clear(), steps.clear(), ends.clear();
            base = top = 1;
        }
    }

    // Writes the terms' instructions into `code` from `written` on, each term's in its order: after an
    // instruction, one of the same opcode if a term has one next, else one of the opcode that most terms
    // have next. Terms wait in a stack for each opcode of their next instruction. Returns the new end.
    static std::size_t merge(const std::vector<Instruction<T>>& terms, const std::vector<std::size_t>& ends,
                             std::vector<Instruction<T>>& code, std::size_t written) {
        std::vector<std::size_t> next(ends.size()), below(ends.size());  // a term's next instruction; the stack
        std::array<std::size_t, opcode_count> top, waiting{};  // each opcode's stack (ends.size(): empty)
        top.fill(ends.size());
        const auto wait = [&](std::size_t term) {
            if (next[term] == ends[term]) return;
            const std::uint8_t opcode = terms[next[term]].opcode;
            below[term] = std::exchange(top[opcode], term);
            ++waiting[opcode];
        };
        for (std::size_t term = 0; term < ends.size(); ++term) {
            next[term] = term > 0 ? ends[term - 1] : 0;
            wait(term);
        }
        for (std::size_t opcode = 0; written < code.size(); ) {
            if (waiting[opcode] == 0) opcode = std::max_element(waiting.begin(), waiting.end()) - waiting.begin();
            if (waiting[opcode] == 0) break;
            const std::size_t term = std::exchange(top[opcode], below[top[opcode]]);
            --waiting[opcode];
            code[written++] = terms[next[term]++];
            wait(term);
        }
        return written;
    }
};

}  // namespace exprkit::detail
