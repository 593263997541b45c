// Keeps the support library non-empty before any fixture exists.
namespace zarvek_test {
int support_anchor = 0;
}
