"""Native scanning engine of vesquor: format checks and threat-pattern validators for model files."""

from typing import final

__version__: str

# ---------------------------------------------------------------------------------------------
# Functions, in registration order

def validate_safetensors(data: bytes) -> SafeTensorsValidation:
    """Parse and validate a SafeTensors file: header, tensor names, data offsets and tensor data."""

def parse_safetensors_header(data: bytes) -> list[TensorInfo]:
    """Parse a SafeTensors header into its tensors, in name order; [] when it cannot be read."""

def is_safetensors(data: bytes) -> bool:
    """Fast check if a file is SafeTensors format (reads the 8-byte prefix and the header)."""

def validate_model_integrity(data: bytes) -> ModelIntegrityValidation:
    """Validate a complete model file for embedded executables, scripts and padding."""

def validate_tool_calling(data: bytes, num_cores: int = 1) -> ToolCallingValidation:
    """Scan model data for dangerous tool names and suspicious parameters in one pass."""

def validate_buffer_overflow(data: bytes, num_threads: int) -> BufferOverflowValidation:
    """Scan model data for memory-corruption exploit material in one pass."""

def validate_supply_chain(data: bytes, num_threads: int) -> SupplyChainValidation:
    """Scan model data for signs of a compromised supply chain in one pass."""

def validate_behavior_analysis(data: bytes, num_cores: int) -> BehaviorAnalysisValidation:
    """Scan model data for behavioral backdoor text in one pass."""

def validate_tokenizer_hygiene(
    data: bytes, num_cores: int, pattern_mode: str = "vocab_heavy"
) -> TokenizerHygieneValidation:
    """Scan tokenizer data for hygiene issues in one pass ("strict" mode for small config files)."""

def validate_gguf_safety(data: bytes, num_cores: int) -> GGUFSafetyValidation:
    """Scan GGUF file data for executable, malicious and suspicious content in one pass."""

# ---------------------------------------------------------------------------------------------
# Classes, in registration order

@final
class SafeTensorsValidation:
    """SafeTensors validation result."""

    @property
    def is_valid(self) -> bool:
        """True exactly when there are no warnings."""
    @property
    def warnings(self) -> list[str]:
        """Every finding, in the order found."""
    @property
    def metadata(self) -> dict[str, str] | None:
        """The header's string metadata, or None when the header has no usable metadata map."""
    @property
    def total_size(self) -> int:
        """Length of the whole file (0 from the streaming validator)."""
    @property
    def header_size(self) -> int:
        """The header length read from the 8-byte prefix."""
    @property
    def tensor_count(self) -> int:
        """Number of tensors in the header."""
    @property
    def suspicious_data_patterns(self) -> list[str]:
        """Findings of the tensor-data scan."""
    @property
    def tensor_names(self) -> list[str]:
        """Every tensor name, in ascending order."""
    @property
    def suspicious_tensor_names(self) -> list[str]:
        """Tensor names that failed a name check."""

@final
class TensorInfo:
    """Tensor information from SafeTensors header."""

    @property
    def name(self) -> str:
        """The tensor's name."""
    @property
    def dtype(self) -> str:
        """The tensor's dtype, or "unknown"."""
    @property
    def shape(self) -> list[int]:
        """The tensor's shape."""
    @property
    def data_offsets(self) -> tuple[int, int]:
        """Start and end of the tensor's data, relative to the data region."""

@final
class SafeTensorsStreamingValidator:
    """SafeTensors streaming validator: the header first, then the tensor data chunk by chunk."""

    def __init__(self, num_cores: int) -> None:
        """Build the validator's scanner with `num_cores` pattern groups."""
    def validate_header(self, header_data: bytes) -> bool:
        """Validate the SafeTensors header (call this with header data first)."""
    def process_chunk(self, chunk: bytes) -> list[str]:
        """Process a chunk of tensor data (call after validate_header); returns its matches."""
    def finalize(self) -> SafeTensorsValidation:
        """Finalize validation and get results."""

@final
class ModelIntegrityStreamingValidator:
    """Streaming validator for generic model integrity checks."""

    def __init__(self, num_cores: int) -> None:
        """Build the validator's scanner with `num_cores` pattern groups."""
    def process_chunk(self, chunk: bytes) -> list[PyPatternMatch]:
        """Process a chunk of data; returns its matches."""
    def finalize(self) -> list[PyPatternMatch]:
        """Finalize and get remaining matches; the scanner is dropped."""

@final
class ModelIntegrityValidation:
    """Result of model integrity validation."""

    def __init__(self) -> None:
        """An empty, valid result."""
    @property
    def is_valid(self) -> bool:
        """True when the check reported no finding."""
    @property
    def warnings(self) -> list[str]:
        """One text per finding."""
    @property
    def suspicious_patterns(self) -> list[str]:
        """The findings themselves."""

@final
class ToolCallingStreamingValidator:
    """Streaming validator for tool calling patterns."""

    def __init__(self, num_cores: int) -> None:
        """Build the validator's scanner with `num_cores` pattern groups."""
    def process_chunk(self, chunk: bytes) -> dict[str, list[str]]:
        """Process a chunk of model data; returns this chunk's findings by category."""
    def finalize(self) -> ToolCallingValidation:
        """Finalize validation and get comprehensive results."""
    def reset(self) -> None:
        """Reset the validator to process a new model."""

@final
class ToolCallingValidation:
    """Tool calling validation result."""

    @property
    def dangerous_tools_found(self) -> list[str]:
        """Distinct dangerous tool names found."""
    @property
    def suspicious_parameters_found(self) -> list[str]:
        """Distinct suspicious parameter names found."""
    @property
    def total_matches(self) -> int:
        """Total pattern matches found."""
    @property
    def risk_score(self) -> int:
        """Risk score: 5 per dangerous tool plus 2 per suspicious parameter."""

@final
class BufferOverflowStreamingValidator:
    """High-performance streaming validator for buffer overflow detection."""

    def __init__(self, num_cores: int) -> None:
        """Build the validator's scanner with `num_cores` pattern groups."""
    def process_chunk(self, chunk: bytes) -> None:
        """Process a chunk of model data."""
    def finalize(self) -> BufferOverflowValidation:
        """Finalize and get comprehensive results."""
    def reset(self) -> None:
        """Reset validator state for reuse."""

@final
class BufferOverflowValidation:
    """Validation results for buffer overflow analysis."""

    @property
    def dangerous_functions_found(self) -> list[str]:
        """Unique dangerous functions detected."""
    @property
    def rop_gadgets_found(self) -> list[str]:
        """ROP gadget patterns detected."""
    @property
    def format_string_vulns_found(self) -> list[str]:
        """Format string vulnerabilities detected."""
    @property
    def integer_overflow_patterns_found(self) -> list[str]:
        """Integer overflow patterns detected."""
    @property
    def total_matches(self) -> int:
        """Total pattern matches found."""
    @property
    def risk_score(self) -> float:
        """Overall risk score (0.0 to 1.0)."""

@final
class SupplyChainStreamingValidator:
    """High-performance streaming validator for supply chain security."""

    def __init__(self, num_cores: int) -> None:
        """Build the validator's scanner with `num_cores` pattern groups."""
    def process_chunk(self, chunk: bytes) -> None:
        """Process a chunk of model data."""
    def finalize(self) -> SupplyChainValidation:
        """Finalize and get comprehensive results."""
    def reset(self) -> None:
        """Reset validator state for reuse."""

@final
class SupplyChainValidation:
    """Validation results for supply chain security analysis."""

    @property
    def malicious_functions_found(self) -> list[str]:
        """Malicious functions detected."""
    @property
    def data_exfiltration_found(self) -> list[str]:
        """Data exfiltration patterns detected."""
    @property
    def tampering_indicators_found(self) -> list[str]:
        """Tampering indicators detected."""
    @property
    def typosquatting_found(self) -> list[str]:
        """Typosquatting patterns detected."""
    @property
    def suspicious_domains_found(self) -> list[str]:
        """Suspicious domains detected."""
    @property
    def total_matches(self) -> int:
        """Total pattern matches found."""
    @property
    def risk_score(self) -> float:
        """Overall risk score (0.0 to 1.0)."""

@final
class BehaviorAnalysisStreamingValidator:
    """High-performance streaming validator for behavioral backdoor detection."""

    def __init__(self, num_cores: int) -> None:
        """Build the validator's scanner with `num_cores` pattern groups."""
    def process_chunk(self, chunk: bytes) -> None:
        """Process a chunk of model data."""
    def finalize(self) -> BehaviorAnalysisValidation:
        """Finalize scanning and get comprehensive results."""

@final
class BehaviorAnalysisValidation:
    """Validation results for behavioral backdoor analysis."""

    @property
    def backdoor_triggers_found(self) -> list[str]:
        """Backdoor trigger patterns detected."""
    @property
    def tool_hijacking_found(self) -> list[str]:
        """Tool hijacking patterns detected."""
    @property
    def data_exfiltration_found(self) -> list[str]:
        """Data exfiltration patterns detected."""
    @property
    def system_override_found(self) -> list[str]:
        """System override patterns detected."""
    @property
    def privilege_escalation_found(self) -> list[str]:
        """Privilege escalation patterns detected."""
    @property
    def total_matches(self) -> int:
        """Total pattern matches found."""
    @property
    def risk_score(self) -> float:
        """Overall risk score (0.0 to 1.0)."""

@final
class TokenizerHygieneStreamingValidator:
    """High-performance streaming validator for tokenizer hygiene."""

    def __init__(self, num_cores: int, pattern_mode: str = "vocab_heavy") -> None:
        """Build the scanner: "strict", "config" or "full" (any case) add the single-word patterns."""
    def process_chunk(self, chunk: bytes) -> None:
        """Process a chunk of tokenizer data."""
    def finalize(self) -> TokenizerHygieneValidation:
        """Finalize scanning and get comprehensive results."""

@final
class TokenizerHygieneValidation:
    """Validation results for tokenizer hygiene analysis."""

    @property
    def code_injection_found(self) -> list[str]:
        """Code injection patterns detected."""
    @property
    def prompt_injection_found(self) -> list[str]:
        """Prompt injection patterns detected."""
    @property
    def network_file_found(self) -> list[str]:
        """Network/file access patterns detected."""
    @property
    def shell_command_found(self) -> list[str]:
        """Shell command patterns detected (compound patterns - HIGH severity)."""
    @property
    def shell_command_single_word_found(self) -> list[str]:
        """Shell command single-word patterns detected (LOW severity, strict mode only)."""
    @property
    def hidden_tokens_found(self) -> list[str]:
        """Hidden/malicious tokens detected."""
    @property
    def pattern_mode(self) -> str:
        """Pattern mode used for this validation: "strict" or "vocab_heavy"."""
    @property
    def total_matches(self) -> int:
        """Total pattern matches found."""
    @property
    def risk_score(self) -> float:
        """Overall risk score (0.0 to 1.0)."""

@final
class GGUFSafetyStreamingValidator:
    """High-performance streaming validator for GGUF safety."""

    def __init__(self, num_cores: int) -> None:
        """Build the validator's scanner with `num_cores` pattern groups."""
    def process_chunk(self, chunk: bytes) -> None:
        """Process a chunk of GGUF tensor data."""
    def finalize(self) -> GGUFSafetyValidation:
        """Finalize scanning and get comprehensive results."""

@final
class GGUFSafetyValidation:
    """Validation results for GGUF safety analysis."""

    @property
    def suspicious_patterns_found(self) -> list[str]:
        """Suspicious patterns found in tensor data."""
    @property
    def executable_patterns_found(self) -> list[str]:
        """Executable patterns found."""
    @property
    def malicious_patterns_found(self) -> list[str]:
        """Malicious patterns found."""
    @property
    def total_matches(self) -> int:
        """Total pattern matches found."""
    @property
    def risk_score(self) -> float:
        """Overall risk score (0.0 to 1.0)."""

@final
class PyParallelStreamingScanner:
    """Parallel streaming pattern scanner over the malware catalogue (Python wrapper)."""

    def __init__(self, num_groups: int) -> None:
        """Build the scanner with `num_groups` pattern groups."""
    def scan_chunk(self, chunk: bytes) -> list[PyPatternMatch]:
        """Scan a chunk of data for patterns."""
    def finalize(self) -> list[PyPatternMatch]:
        """Finalize all pattern group scanners; the scanner is dropped."""
    def reset(self) -> None:
        """Reset all scanners for reuse."""
    @property
    def bytes_processed(self) -> int:
        """Get total bytes processed."""
    @property
    def num_groups(self) -> int:
        """Get number of pattern groups."""

@final
class PyPatternMatch:
    """One reported match: the label and the weight of the matched pattern."""

    @property
    def description(self) -> str:
        """The label of the matched pattern."""
    @property
    def score(self) -> int:
        """The weight of the matched pattern."""
