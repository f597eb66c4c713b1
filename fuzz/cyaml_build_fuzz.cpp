// YAML text comes from users' files: any bytes must build a tree or an
// error tree, and a tree that is built prints as YAML that builds the same
// tree again.
#include <cyaml/cyaml.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	cYAML *err = nullptr;
	cYAML *tree = cYAML_build_tree(
	        nullptr, reinterpret_cast<const char *>(data), size, &err);
	if (tree == nullptr) {
		if (err == nullptr)
			abort(); // every refusal is explained
		cYAML_free_tree(err);
		return 0;
	}
	char *text = nullptr;
	if (cYAML_dump(tree, &text) == 0) {
		cYAML *again =
		        cYAML_build_tree(nullptr, text, strlen(text), nullptr);
		char *text2 = nullptr;
		if (again == nullptr || cYAML_dump(again, &text2) != 0 ||
		    strcmp(text, text2) != 0) {
			fprintf(stderr,
			        "cyaml_build_fuzz: printed tree does "
			        "not read back:\n%s",
			        text);
			abort();
		}
		free(text2);
		cYAML_free_tree(again);
		free(text);
	}
	cYAML_free_tree(tree);
	return 0;
}
